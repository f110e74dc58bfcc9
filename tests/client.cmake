# Requests to phones, driven against a scripted peer on loopback.
kaveltor_add_test(tst_peer_client SOURCES tst_peer_client.cpp LIBS kaveltor_client LABELS threads)
