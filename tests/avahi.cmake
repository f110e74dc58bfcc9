# Our discovery service and avahi-daemon on a bridged link, each host a network namespace of its own.
foreach(case browse find-phone resolve-host resolve-ours goodbye mcast-phone late-link
    two-copies)
    add_test(NAME tst_mdns_avahi_${case} COMMAND ${KAVELTOR_SANDBOX} ${CMAKE_CURRENT_SOURCE_DIR}/avahi_interop.sh
             $<TARGET_FILE:kaveltor_mdns_peer> ${case})
    set_tests_properties(tst_mdns_avahi_${case} PROPERTIES TIMEOUT 90 LABELS interop SKIP_RETURN_CODE 77)
endforeach()
