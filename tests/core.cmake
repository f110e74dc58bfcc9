# Threads with an owner: the bounded stop and the workers it leaves behind.
kaveltor_add_test(tst_worker_pool SOURCES tst_worker_pool.cpp LIBS kaveltor_core LABELS threads)
# The settings store: bounded reads of a damaged paired list, owner-only folders.
kaveltor_add_test(tst_settings_store SOURCES tst_settings_store.cpp LIBS kaveltor_core)
