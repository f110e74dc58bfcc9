#!/usr/bin/python3
# Uses the real program as a user with a phone would: it finds the phone, pairs,
# sends a file each way, sends from the command line, a file manager's menu
# and the launcher's actions, and quits from the tray. Usage: run_e2e.sh.

import configparser
import json
import os
import re
import shlex
import signal
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

import pyatspi
from gi.repository import Atspi

APP, SIM_PHONE = sys.argv[1:3]
PACKAGING = Path(__file__).resolve().parents[2] / "packaging"
NAME, CODE, ID, SECRET = "E2E Testtelefon", "482913", "e2e-phone", "e2e-secret"
SCRATCH = os.environ["TMPDIR"]
procs = []


def wait_for(what, probe, timeout=90):  # generous: a sanitizer build on a busy machine is slow
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if value := probe():
                return value
        except Exception:
            pass  # a widget may vanish between two looks
        time.sleep(0.2)
    raise SystemExit(f"e2e: FAILED waiting for {what}")


def start(argv, **kwargs):
    procs.append(subprocess.Popen(argv, **kwargs))
    return procs[-1]


def xdotool(*args):
    return subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True).stdout.split()


def find(root, name, role):
    return pyatspi.findDescendant(root, lambda n: n.name == name and n.getRole() == role)


def press(root, name):
    wait_for(name, lambda: find(root, name, pyatspi.ROLE_PUSH_BUTTON)).queryAction().doAction(0)


def command(*argv, stdin=None):  # the command line as a script runs it
    done = subprocess.run([APP if a == "kaveltor-companion" else a for a in argv], input=stdin,
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def expand(line, files):  # a command line as a file manager or launcher runs it, %F being the files
    return [arg for word in shlex.split(line) for arg in (files if word == "%F" else [word])]


def exec_line(entry, group, files):
    desktop = configparser.RawConfigParser(strict=False)
    desktop.optionxform = str
    desktop.read(PACKAGING / entry)
    return expand(desktop[group]["Exec"], files)


def got(events, text):
    return any(json.loads(e[6:])["outcome"] == "received " + text for e in events if e.startswith("EVENT "))


def delivered(events, phone_dir, path):
    name = os.path.basename(path)
    wait_for(f"{name} stored by the phone", lambda: Path(phone_dir, name).exists() and
             Path(phone_dir, name).read_bytes() == Path(path).read_bytes())


def send_from_outside(acc, window, events, phone_dir):
    def new_file(name):
        with open(path := os.path.join(SCRATCH, name), "wb") as f:
            f.write(os.urandom(1024 * 1024 + 3))
        return path

    port = re.match(r"READY (\d+)", events[0]).group(1)
    status, out, _ = command("kaveltor-companion", "--list")
    assert status == 0 and f"{NAME}\t{ID}\t198.51.100.2:{port}\tgepaired\tonline" in out.splitlines(), out
    status, out, err = command("kaveltor-companion", "--send", sent := new_file("Terminal.bin"), "--wait")
    assert status == 0 and "Zugestellt: Terminal.bin" in out, (status, out, err)
    delivered(events, phone_dir, sent)
    wait_for("the same outcome as a drop", lambda: find(window, "Gesendet: Terminal.bin", pyatspi.ROLE_LABEL))
    status, out, err = command("kaveltor-companion", "--text", "-", "--to", ID, "--wait", stdin="Grüße vom Terminal\n")
    assert status == 0 and got(events, "Grüße vom Terminal"), (status, out, err, events)
    status, _, err = command("kaveltor-companion", "--send", sent, "--to", "Niemand")
    assert status == 3 and NAME in err, (status, err)
    status, _, err = command("kaveltor-companion", "--send", os.path.join(SCRATCH, "fehlt.jpg"))
    assert status == 5 and "fehlt.jpg" in err, (status, err)

    # A file manager's entries, the launcher's "Open with" and its two actions.
    thunar = re.search(r"<command>(.*)</command>", (PACKAGING / "file-managers/thunar-uca-action.xml").read_text())
    for argv in (exec_line("file-managers/kaveltor-companion-send.desktop", "Desktop Action send",
                           [new_file("Dolphin.bin")]), expand(thunar.group(1), [new_file("Thunar.bin")]),
                 exec_line("file-managers/kaveltor-companion-thunar-sendto.desktop", "Desktop Entry",
                           [new_file("Senden an.bin")]),
                 exec_line("example.zeltraworks.KaveltorCompanion.desktop", "Desktop Entry", [new_file("Open.bin")])):
        assert command(*argv)[0] == 0, argv
        delivered(events, phone_dir, argv[-1])
    subprocess.run(["xclip", "-selection", "clipboard", "-i"], input="Aus der Zwischenablage", text=True, check=True)
    assert command(*exec_line("example.zeltraworks.KaveltorCompanion.desktop", "Desktop Action send-clipboard",
                              []))[0] == 0
    wait_for("the clipboard sent", lambda: got(events, "Aus der Zwischenablage"))
    chooser = start([APP if a == "kaveltor-companion" else a for a in exec_line(
        "example.zeltraworks.KaveltorCompanion.desktop", "Desktop Action send-file", [])])
    dialog = wait_for("the file dialog", lambda: find(acc, "Dateien an das Handy senden", pyatspi.ROLE_DIALOG))
    wait_for("its name field", lambda: pyatspi.findDescendant(dialog, lambda n: n.getRole() == pyatspi.ROLE_TEXT and (
        n.getState().contains(pyatspi.STATE_FOCUSED)))).queryEditableText().setTextContents(chosen := new_file("Dialog.bin"))
    xdotool("key", "Return")
    assert chooser.wait(60) == 0, "the launcher's action failed"
    delivered(events, phone_dir, chosen)


def run():
    start(["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request", "--height", "28"])
    wait_for("the tray host", lambda: xdotool("search", "--classname", "^panel$"))
    os.mkdir(phone_dir := os.path.join(SCRATCH, "phone"))
    # The phone is another host: a network namespace of its own, linked to ours by a veth pair.
    link = 'ip link set lo up; until ip link show ph1 >/dev/null 2>&1; do sleep 0.05; done; ' \
           'ip addr add 198.51.100.2/24 dev ph1 && ip link set ph1 multicast on up && exec "$@"'
    phone = start(["unshare", "-n", "sh", "-c", link, "sh", sys.executable, SIM_PHONE, "--announce",
                   "--address", "198.51.100.2", "--name", NAME, "--code", CODE, "--device-id", ID,
                   "--secret", SECRET, "--upload-dir", phone_dir], stdout=subprocess.PIPE, text=True)
    # Until unshare has run, the phone's process is still in our namespace, and a link moved
    # there would stay here: the phone would wait for it for ever.
    wait_for("the phone's own namespace", lambda: os.readlink(f"/proc/{phone.pid}/ns/net") != os.readlink(
        "/proc/self/ns/net"))
    for ip in (f"link add ph0 type veth peer name ph1 netns {phone.pid}", "addr add 198.51.100.1/24 dev ph0",
               "link set ph0 multicast on up"):
        subprocess.run(["ip", *ip.split()], check=True)
    events = []
    threading.Thread(target=lambda: events.extend(phone.stdout), daemon=True).start()  # line by line
    app = start([APP], env=dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))
    acc = wait_for("the program on the accessibility bus", lambda: find(
        pyatspi.Registry.getDesktop(0), "KAVELTOR Companion", pyatspi.ROLE_APPLICATION))
    acc.set_cache_mask(Atspi.Cache.NONE)  # nothing here runs the loop that keeps a cache current

    # While the window is hidden, the program's only window is its tray icon.
    icon = wait_for("the tray icon", lambda: xdotool("search", "--classname", "^kaveltor-companion$"))[0]
    xdotool("mousemove", "--window", icon, 4, 4, "click", 1)
    window = wait_for("the window", lambda: find(acc, "KAVELTOR Companion", pyatspi.ROLE_FRAME))
    showing = lambda node: node.getState().contains(pyatspi.STATE_SHOWING)  # noqa: E731
    wait_for("the window shown", lambda: showing(window))
    row = lambda state: find(window, f"{NAME} \u2022 {state}", pyatspi.ROLE_LIST_ITEM)  # noqa: E731
    wait_for("the phone listed, unpaired", lambda: row("Nicht gepaired"))

    press(window, "Einstellungen")
    sheet = wait_for("the settings sheet", lambda: find(acc, "Einstellungen", pyatspi.ROLE_DIALOG))
    # Labels speak their current text: the update status, later the outcome.
    wait_for("the update status read out", lambda: find(sheet, "Version 1.0.0", pyatspi.ROLE_LABEL))
    wait_for("the code field", lambda: find(sheet, "Pairing-Code", pyatspi.ROLE_TEXT)).queryEditableText() \
        .setTextContents(CODE)
    press(sheet, "Pairen")
    wait_for("the phone listed as paired", lambda: row("Online"))
    press(window, "Einstellungen")
    wait_for("the sheet closed", lambda: not find(acc, "Einstellungen", pyatspi.ROLE_DIALOG))

    with open(sent := os.path.join(SCRATCH, "Reise Fotos.jpg"), "wb") as f:
        f.write(os.urandom(3 * 1024 * 1024 + 17))
    box = wait_for("the phone's row", lambda: row("Online")).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    xdotool("mousemove", box.x + box.width // 2, box.y + box.height // 2, "click", 1)
    wait_for("the row selected", lambda: row("Online").getState().contains(pyatspi.STATE_SELECTED))
    press(window, "Explorer")
    dialog = wait_for("the file dialog", lambda: find(acc, "Datei auswaehlen", pyatspi.ROLE_DIALOG))
    wait_for("its name field", lambda: pyatspi.findDescendant(dialog, lambda n: n.getRole() == pyatspi.ROLE_TEXT and (
        n.getState().contains(pyatspi.STATE_FOCUSED)))).queryEditableText().setTextContents(sent)
    xdotool("key", "Return")
    wait_for("the file stored by the phone", lambda: any('"stored"' in event for event in events))
    wait_for("the outcome read out", lambda: find(window, "Gesendet: Reise Fotos.jpg", pyatspi.ROLE_LABEL))
    assert Path(phone_dir, "Reise Fotos.jpg").read_bytes() == Path(sent).read_bytes(), "the phone got other bytes"

    back = urllib.request.Request("http://127.0.0.1:53319/upload", data=os.urandom(2 * 1024 * 1024 + 5), headers={
        "X-KAVELTORLink-DeviceId": ID, "X-KAVELTORLink-Secret": SECRET, "X-Filename": "Vom Telefon.png"})
    with urllib.request.urlopen(back, timeout=60) as answer:
        assert json.load(answer) == {"received": True}
    assert Path(os.environ["HOME"], "Downloads", "Vom Telefon.png").read_bytes() == back.data, "got other bytes"

    send_from_outside(acc, window, events, phone_dir)

    press(window, "Minimieren")  # the window sits over the tray's corner
    wait_for("the window hidden", lambda: not showing(window))
    xdotool("mousemove", "--window", icon, 4, 4, "click", 3)
    wait_for("the tray menu", lambda: set(xdotool("search", "--onlyvisible", "--classname", "kaveltor")) - {icon})
    xdotool("key", "Up", "Return")  # its last entry, "Beenden"
    assert app.wait(60) == 0, "the program did not end cleanly"

    # With no copy running, a command starts one hidden and waits for the phone to show up.
    status, out, err = command("kaveltor-companion", "--send", sent, "--wait")
    assert status == 0 and "Zugestellt: Reise Fotos.jpg" in out, (status, out, err)
    pid = int(Path(os.environ["XDG_RUNTIME_DIR"], "kaveltor-companion.lock").read_text().split()[0])
    os.kill(pid, signal.SIGTERM)
    wait_for("the started copy to end", lambda: not Path(f"/proc/{pid}").exists())


if __name__ == "__main__":
    try:
        run()
        print("e2e: passed")
    finally:
        for proc in reversed(procs):
            proc.kill()
            proc.wait()
