kaveltor_add_test(tst_settings_dialog SOURCES tst_settings_dialog.cpp widget_test_support.h LIBS kaveltor_ui)
kaveltor_add_test(tst_background_files SOURCES tst_background_files.cpp LIBS kaveltor_ui)
kaveltor_add_test(tst_window_flows SOURCES tst_window_flows.cpp sim_phone.h test_support.h widget_test_support.h
                  LIBS kaveltor_ui kaveltor_resources TIMEOUT 180)
target_compile_definitions(tst_window_flows PRIVATE
    KAVELTOR_PYTHON3="${KAVELTOR_PYTHON3}"
    KAVELTOR_SIM_PHONE="${CMAKE_CURRENT_SOURCE_DIR}/sim_phone/sim_phone.py")
