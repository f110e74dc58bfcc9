# The HTTP service on its own, driven over loopback, and the naming of
# received files. Labelled threads: its shutdown test runs under ThreadSanitizer.
kaveltor_add_test(tst_http_server SOURCES tst_http_server.cpp LIBS kaveltor_server LABELS threads)
# Again through the buffered copy that platforms without an in-kernel one take.
add_test(NAME tst_http_server_buffered
    COMMAND ${KAVELTOR_SANDBOX} env KAVELTOR_TEST_BUFFERED_COPY=1 $<TARGET_FILE:tst_http_server>)
set_tests_properties(tst_http_server_buffered PROPERTIES TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS threads)
