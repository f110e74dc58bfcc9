# Requests to phones, driven against a scripted peer on loopback, and the
# end of the service that owns them while work is stuck.
kaveltor_add_test(tst_peer_client SOURCES tst_peer_client.cpp LIBS kaveltor_net LABELS threads)
