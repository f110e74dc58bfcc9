#!/usr/bin/python3
# Starts and ends the real program as desktops do, on a virtual display without
# a tray host, with one at the top that starts late and ends early, and with
# one at the bottom. Usage: xvfb-run desktop_driver.py PATH/TO/kaveltor-companion
# (through scripts/test-sandbox.sh: private network and runtime folder).
import os
import signal
import subprocess
import sys
import time

from Xlib import X, display
from Xlib.protocol import event

APP = sys.argv[1]
ENV = dict(os.environ, QT_QPA_PLATFORM="xcb")
procs = []


def wait_for(what, probe, timeout=60):  # generous: a sanitizer build on a busy machine is slow
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if value := probe():
            return value
        time.sleep(0.1)
    raise SystemExit(f"desktop: FAILED waiting for {what}")


def start(argv):
    procs.append(subprocess.Popen(argv, env=ENV))
    return procs[-1]


def ends(proc, seconds, what):
    try:
        status = proc.wait(seconds)
    except subprocess.TimeoutExpired:
        raise SystemExit(f"desktop: FAILED: {what} still runs after {seconds} s")
    assert status == 0, f"{what} ended with status {status}"


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.split()


def window():
    return xdotool("search", "--onlyvisible", "--name", "^KAVELTOR Companion$")


def close(window_id):  # what a window manager's close button sends
    x = display.Display()
    target = x.create_resource_object("window", int(window_id))
    atom = x.intern_atom
    target.send_event(event.ClientMessage(window=target, client_type=atom("WM_PROTOCOLS"),
                                          data=(32, [atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])))
    x.flush()


def x_state(window_id):
    return subprocess.run(["xprop", "-id", window_id, "_NET_WM_STATE"], capture_output=True, text=True).stdout


def geometry(window_id):
    values = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell", window_id))
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def start_trayer(edge):
    tray = start(["trayer", "--edge", edge, "--align", "right", "--widthtype", "request", "--height", "28"])
    wait_for("the tray host", lambda: xdotool("search", "--classname", "^panel$"))
    return tray


def late_tray():
    # The login race: the program starts before the panel, which later ends.
    app = start([APP])
    assert "SKIP_TASKBAR" not in x_state(wait_for("the window shown at start without a tray", window)[0])
    tray = start_trayer("top")
    # Now the tray's panel: off the task list, in the top right corner, below the tray.
    shown = wait_for("the window as the tray's panel", lambda: [w for w in window() if "SKIP_TASKBAR" in x_state(w)])
    x, y, width, height = geometry(shown[0])
    assert x + width == 1280 - 17 and 28 + 17 >= y > 17 + 20, f"placed at {x},{y}"
    close(shown[0])
    wait_for("the window hidden by closing it", lambda: not window(), timeout=5)
    assert app.poll() is None, "closing the tray's panel ended the program"
    tray.kill()
    shown = wait_for("the window shown again when the tray ends", window, timeout=10)
    assert "SKIP_TASKBAR" not in x_state(shown[0])
    close(shown[0])
    ends(app, 2, "the program after its window was closed without a tray")


def start_behind_tray():
    app = start([APP])
    wait_for("the tray icon", lambda: xdotool("search", "--classname", "^kaveltor-companion$"))
    time.sleep(1)  # time to show a window it should not show
    assert not window(), "a window shows at start although there is a tray"
    return app


def run():
    app = start([APP])
    close(wait_for("the window shown at start without a tray", window)[0])
    ends(app, 2, "the program after its window was closed")

    late_tray()
    start_trayer("bottom")
    app = start_behind_tray()
    ends(start([APP]), 1, "a second start")
    wait_for("the first copy's window", window, timeout=5)
    app.send_signal(signal.SIGTERM)
    ends(app, 2, "the program after SIGTERM")

    app = start_behind_tray()
    app.send_signal(signal.SIGINT)
    ends(app, 2, "the program after SIGINT")


if __name__ == "__main__":
    try:
        run()
        print("desktop: passed")
    finally:
        for proc in reversed(procs):
            proc.kill()
            proc.wait()
