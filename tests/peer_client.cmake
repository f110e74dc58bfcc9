# Requests to phones: the pure request and reply rules, and the real client
# driven against the simulated phone and small in-process peers.
kaveltor_add_test(tst_peer_wire SOURCES tst_peer_wire.cpp LIBS kaveltor_net)
kaveltor_add_test(tst_peer_client SOURCES tst_peer_client.cpp fake_peer.h sim_phone.h test_support.h
    LIBS kaveltor_net LABELS threads TIMEOUT 300)
target_compile_definitions(tst_peer_client PRIVATE
    KAVELTOR_SIM_PHONE="${CMAKE_CURRENT_SOURCE_DIR}/sim_phone/sim_phone.py")
