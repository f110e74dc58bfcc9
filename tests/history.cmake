# The history: its store on disk, and the sheet that shows it with its
# actions against a stand-in file manager on a bus of the test's own.
kaveltor_add_test(tst_history_store SOURCES tst_history_store.cpp LIBS kaveltor_ui LABELS threads)
kaveltor_add_test(tst_history_view SOURCES tst_history_view.cpp LIBS kaveltor_ui)
target_compile_definitions(tst_history_view PRIVATE KAVELTOR_PYTHON3="${KAVELTOR_PYTHON3}"
    KAVELTOR_FAKE_FILE_MANAGER="${CMAKE_CURRENT_SOURCE_DIR}/history/fake_file_manager.py")
