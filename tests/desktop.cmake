# The real program's start and end on a virtual display with a session bus,
# first without a tray host, then with one at the top that starts late and
# ends early (tray life and back, the corner below it, no task list entry),
# then with one at the bottom: one copy per user, SIGTERM, SIGINT and the
# window manager's close button.
add_test(NAME desktop_start_quit
    COMMAND ${KAVELTOR_SANDBOX} xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" dbus-run-session --
        /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/desktop/desktop_driver.py $<TARGET_FILE:kaveltor-companion>)
# xvfb-run -a picks a free display racily: its tests never start together.
set_tests_properties(desktop_start_quit PROPERTIES TIMEOUT 180 LABELS desktop RESOURCE_LOCK xvfb)
