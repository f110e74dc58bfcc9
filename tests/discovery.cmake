# Multicast DNS: codec, responder and browser as pure functions (their parsers
# are fuzzed too, fuzz_replay.cmake replays the corpora), the service that
# runs them, and their interplay with an mDNS stack we did not write.
kaveltor_add_test(tst_mdns SOURCES tst_mdns.cpp dns_test_support.h LIBS kaveltor_discovery)
kaveltor_add_test(tst_mdns_probe SOURCES tst_mdns_probe.cpp dns_test_support.h LIBS kaveltor_discovery)
kaveltor_add_test(tst_mdns_cache SOURCES tst_mdns_cache.cpp dns_test_support.h LIBS kaveltor_discovery)
kaveltor_add_test(tst_discovery_service SOURCES tst_discovery_service.cpp dns_test_support.h LIBS kaveltor_discovery LABELS threads)

# The discovery service as a process of its own, paired with Debian's
# python3-zeroconf in one namespace: zeroconf resolves our announcement and
# our browser finds its phone, both stacks on port 5353 in either order.
add_executable(kaveltor_mdns_peer mdns_peer.cpp)
target_link_libraries(kaveltor_mdns_peer PRIVATE kaveltor_discovery Qt6::Network)
target_include_directories(kaveltor_mdns_peer PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_test(NAME tst_mdns_interop
    COMMAND ${KAVELTOR_SANDBOX} ${KAVELTOR_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/mdns_interop.py
            $<TARGET_FILE:kaveltor_mdns_peer>)
set_tests_properties(tst_mdns_interop PROPERTIES TIMEOUT 120)
