# Our discovery service and avahi-daemon on a bridged link, each host a network namespace of its own.
foreach(case browse find-phone resolve-host resolve-ours goodbye mcast-phone late-link
    two-copies late-claimant)
    add_test(NAME tst_mdns_avahi_${case} COMMAND ${KAVELTOR_SANDBOX} ${CMAKE_CURRENT_SOURCE_DIR}/avahi_interop.sh
             $<TARGET_FILE:kaveltor_mdns_peer> ${case})
    set_tests_properties(tst_mdns_avahi_${case} PROPERTIES TIMEOUT 90 LABELS interop SKIP_RETURN_CODE 77)
endforeach()
# The program itself and a phone that answers browses with the PTR alone; its records live 15 s, so that a
# minute covers four of their lifetimes.
add_test(NAME tst_mdns_avahi_ptr-phone COMMAND ${KAVELTOR_SANDBOX} ${CMAKE_CURRENT_SOURCE_DIR}/avahi_interop.sh
         $<TARGET_FILE:kaveltor-companion> ptr-phone)
set_tests_properties(tst_mdns_avahi_ptr-phone PROPERTIES TIMEOUT 150 LABELS interop SKIP_RETURN_CODE 77)
