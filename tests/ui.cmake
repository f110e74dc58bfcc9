# The main window on the offscreen platform: layout, device list, log,
# drops, progress, tray and shutdown.
kaveltor_add_test(tst_main_window SOURCES tst_main_window.cpp test_support.h widget_test_support.h
    LIBS kaveltor_ui kaveltor_resources LABELS threads TIMEOUT 180)
