# Requests to phones, driven against a scripted peer on loopback.
kaveltor_add_test(tst_peer_client SOURCES tst_peer_client.cpp LIBS kaveltor_client LABELS threads)
# Again through the buffered copy that platforms without an in-kernel one take.
add_test(NAME tst_peer_client_buffered
    COMMAND ${KAVELTOR_SANDBOX} env KAVELTOR_TEST_BUFFERED_COPY=1 $<TARGET_FILE:tst_peer_client>)
set_tests_properties(tst_peer_client_buffered PROPERTIES TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS threads)
