#!/usr/bin/python3
# Starts and ends the real program as desktops do, on a virtual display without
# and then with a tray host. Usage: xvfb-run desktop_driver.py PATH/TO/kaveltor-companion
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

    start(["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request", "--height", "28"])
    wait_for("the tray host", lambda: xdotool("search", "--classname", "^panel$"))
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
