# The real program driven from outside, found by and paired with the simulated phone.
add_test(NAME e2e_companion
    COMMAND ${KAVELTOR_SANDBOX} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_e2e.sh $<TARGET_FILE:kaveltor-companion>)
set_tests_properties(e2e_companion PROPERTIES TIMEOUT 300 LABELS e2e RESOURCE_LOCK xvfb)
