# The notifier against a stand-in notification service. The test starts a bus
# of its own, so it never reaches the user's session or a real service.
kaveltor_add_test(tst_desktop_notifier SOURCES tst_desktop_notifier.cpp LIBS kaveltor_ui)
target_compile_definitions(tst_desktop_notifier PRIVATE KAVELTOR_PYTHON3="${KAVELTOR_PYTHON3}"
    KAVELTOR_FAKE_NOTIFICATIONS="${CMAKE_CURRENT_SOURCE_DIR}/notify/fake_notifications.py")
