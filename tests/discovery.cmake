# Multicast DNS: codec, responder and browser as pure functions, and their
# interplay with an mDNS stack we did not write.
kaveltor_add_test(tst_dns_codec SOURCES tst_dns_codec.cpp LIBS kaveltor_discovery)
kaveltor_add_test(tst_mdns_responder SOURCES tst_mdns_responder.cpp LIBS kaveltor_discovery)
kaveltor_add_test(tst_mdns_browser SOURCES tst_mdns_browser.cpp LIBS kaveltor_discovery)

# The service as a process of its own, for tests that pair it with Debian's
# python3-zeroconf (an mDNS stack we did not write).
add_executable(kaveltor_mdns_peer mdns_peer.cpp)
target_link_libraries(kaveltor_mdns_peer PRIVATE kaveltor_net)

kaveltor_add_test(tst_mdns_loops SOURCES tst_mdns_loops.cpp test_support.h LIBS kaveltor_net LABELS threads)

# Same namespace: zeroconf resolves us, finds its phone through our browser,
# both stacks bound to port 5353 in either order of starting.
add_test(NAME tst_mdns_interop
    COMMAND ${KAVELTOR_SANDBOX} /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/mdns_interop.py
            --peer $<TARGET_FILE:kaveltor_mdns_peer> same-host)
# Two namespaces joined by a veth pair (root only; skipped otherwise).
add_test(NAME tst_mdns_veth
    COMMAND ${KAVELTOR_SANDBOX} sh ${CMAKE_CURRENT_SOURCE_DIR}/mdns_veth.sh
            $<TARGET_FILE:kaveltor_mdns_peer> ${CMAKE_CURRENT_SOURCE_DIR}/mdns_interop.py)
set_tests_properties(tst_mdns_interop tst_mdns_veth PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
