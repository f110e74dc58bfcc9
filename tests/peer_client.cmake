# Requests to phones: the pure request and reply rules, and the real client
# driven against the simulated phone and small in-process peers.
kaveltor_add_test(tst_peer_wire SOURCES tst_peer_wire.cpp LIBS kaveltor_net)
kaveltor_add_test(tst_peer_client SOURCES tst_peer_client.cpp fake_peer.h sim_phone.h test_support.h
    LIBS kaveltor_net LABELS threads TIMEOUT 300)
# Debian's interpreter, which has python3-zeroconf (another one earlier in
# PATH would not).
find_program(KAVELTOR_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KAVELTOR_PYTHON3 python3)
target_compile_definitions(tst_peer_client PRIVATE
    KAVELTOR_PYTHON3="${KAVELTOR_PYTHON3}"
    KAVELTOR_SIM_PHONE="${CMAKE_CURRENT_SOURCE_DIR}/sim_phone/sim_phone.py")

# The simulated phone checks itself, announcement included.
add_test(NAME sim_phone_selftest
    COMMAND ${KAVELTOR_SANDBOX} ${KAVELTOR_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/sim_phone/selftest.py)
set_tests_properties(sim_phone_selftest PROPERTIES TIMEOUT 60)
