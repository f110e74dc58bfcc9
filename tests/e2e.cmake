# The real program end to end, driven only from outside: a virtual display
# with a tray host, the accessibility bus, and the simulated phone announced
# by multicast DNS, all inside the sandbox's private network namespace.
add_test(NAME e2e_companion
    COMMAND ${KAVELTOR_SANDBOX} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_e2e.sh $<TARGET_FILE:kaveltor-companion>)
set_tests_properties(e2e_companion PROPERTIES TIMEOUT 300 LABELS e2e)
