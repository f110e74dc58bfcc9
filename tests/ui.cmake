kaveltor_add_test(tst_device_registry SOURCES tst_device_registry.cpp LIBS kaveltor_ui)
kaveltor_add_test(tst_tray_placement SOURCES tst_tray_placement.cpp LIBS kaveltor_ui)
kaveltor_add_test(tst_main_window SOURCES tst_main_window.cpp test_support.h
    LIBS kaveltor_ui kaveltor_resources LABELS threads TIMEOUT 180)
target_compile_definitions(tst_main_window PRIVATE KAVELTOR_PYTHON3="${KAVELTOR_PYTHON3}"
    KAVELTOR_SIM_PHONE="${CMAKE_CURRENT_SOURCE_DIR}/sim_phone/sim_phone.py")
# The window's life without a tray once more, on Wayland at scale 2.
add_test(NAME tst_main_window_wayland COMMAND ${KAVELTOR_SANDBOX} ${CMAKE_CURRENT_SOURCE_DIR}/wayland/weston-run.sh
    $<TARGET_FILE:tst_main_window> windowLifeWithoutTray)
# Qt's Wayland plugin leaves allocations of libwayland-client and of itself
# (unloaded by then, so no name to suppress) at exit; the same window code is
# leak-checked offscreen above.
set_tests_properties(tst_main_window_wayland PROPERTIES TIMEOUT 120 LABELS desktop
    ENVIRONMENT "QT_SCALE_FACTOR=2;ASAN_OPTIONS=detect_leaks=0:abort_on_error=1")
# The update's hand-over against a stand-in package installer on a bus the
# test starts itself and a stand-in opener, never the user's session or the
# real programs.
kaveltor_add_test(tst_installer_handoff SOURCES tst_installer_handoff.cpp LIBS kaveltor_ui)
target_compile_definitions(tst_installer_handoff PRIVATE KAVELTOR_PYTHON3="${KAVELTOR_PYTHON3}"
    KAVELTOR_FAKE_PACKAGEKIT="${CMAKE_CURRENT_SOURCE_DIR}/update/fake_packagekit.py")
# Phones added by address: what the user types, why an address fails, what is remembered.
kaveltor_add_test(tst_manual_devices SOURCES tst_manual_devices.cpp LIBS kaveltor_ui)
# The connection report: each cause a user may meet, and firewalld answered by a stand-in on a private bus.
kaveltor_add_test(tst_connection_report SOURCES tst_connection_report.cpp LIBS kaveltor_ui)
target_compile_definitions(tst_connection_report PRIVATE KAVELTOR_PYTHON3="${KAVELTOR_PYTHON3}"
    KAVELTOR_FAKE_FIREWALLD="${CMAKE_CURRENT_SOURCE_DIR}/firewall/fake_firewalld.py")
# A phone multicast cannot reach, in a namespace of its own: added by address, paired, files both ways.
kaveltor_add_test(tst_manual_phone SOURCES tst_manual_phone.cpp LIBS kaveltor_ui LABELS threads)
target_compile_definitions(tst_manual_phone PRIVATE KAVELTOR_PYTHON3="${KAVELTOR_PYTHON3}"
    KAVELTOR_SIM_PHONE="${CMAKE_CURRENT_SOURCE_DIR}/sim_phone/sim_phone.py")
