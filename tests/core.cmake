# Threads with an owner: the bounded stop and the workers it leaves behind.
kaveltor_add_test(tst_worker_pool SOURCES tst_worker_pool.cpp LIBS kaveltor_core LABELS threads)
