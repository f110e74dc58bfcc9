# Multicast DNS: codec, responder and browser as pure functions, and their
# interplay with an mDNS stack we did not write.
kaveltor_add_test(tst_dns_codec SOURCES tst_dns_codec.cpp LIBS kaveltor_discovery)
kaveltor_add_test(tst_mdns_responder SOURCES tst_mdns_responder.cpp LIBS kaveltor_discovery)
kaveltor_add_test(tst_mdns_browser SOURCES tst_mdns_browser.cpp LIBS kaveltor_discovery)
