# Authenticated routes and received-file storage.
kaveltor_add_test(tst_file_store SOURCES tst_file_store.cpp LIBS kaveltor_net)
kaveltor_add_test(tst_peer_routes SOURCES tst_peer_routes.cpp test_support.h LIBS kaveltor_net LABELS threads
    TIMEOUT 240)
