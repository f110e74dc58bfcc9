# The HTTP service on its own, driven over loopback, and the naming of
# received files. Labelled threads: its shutdown test runs under ThreadSanitizer.
kaveltor_add_test(tst_http_server SOURCES tst_http_server.cpp LIBS kaveltor_server LABELS threads)
