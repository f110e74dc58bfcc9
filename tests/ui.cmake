kaveltor_add_test(tst_device_registry SOURCES tst_device_registry.cpp LIBS kaveltor_ui)
kaveltor_add_test(tst_main_window SOURCES tst_main_window.cpp test_support.h
    LIBS kaveltor_ui kaveltor_resources LABELS threads TIMEOUT 180)
target_compile_definitions(tst_main_window PRIVATE KAVELTOR_PYTHON3="${KAVELTOR_PYTHON3}"
    KAVELTOR_SIM_PHONE="${CMAKE_CURRENT_SOURCE_DIR}/sim_phone/sim_phone.py")
