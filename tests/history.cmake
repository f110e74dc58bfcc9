# The history: its store on disk.
kaveltor_add_test(tst_history_store SOURCES tst_history_store.cpp LIBS kaveltor_ui LABELS threads)
