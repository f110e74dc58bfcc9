#!/usr/bin/python3
"""Drives the real kaveltor-companion binary from outside, the way a user
with a phone on the same network would, and checks what reaches the phone,
the receive folder, the activity log and the settings file.

It runs inside a private network namespace with a scratch HOME (the test
sandbox gives both) and starts everything it needs there: a virtual X
display, a session bus with the accessibility bus, a tray host, the
simulated phone announced by multicast DNS, and the application. Widgets are
found, pressed and read over AT-SPI by their accessible names; the tray icon,
list rows and the tray menu are clicked with xdotool.

    e2e_driver.py --app PATH --sim-phone PATH [--keep DIR]

Prints one line per step; on failure names the step and dumps the logs.
"""

import argparse
import ctypes
import hashlib
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

APP_NAME = "KAVELTOR Companion"
PHONE_NAME = "E2E Testtelefon"
PHONE_CODE = "482913"
HTTP_PORT = 53319
SETTINGS_FILE = os.path.join("ZELTRAWORKS", "KAVELTOR Companion.conf")
SENT_NAME = "Reise Fotos.jpg"
SENT_SIZE = 3 * 1024 * 1024 + 17
RECEIVED_NAME = "Vom Telefon.png"
RECEIVED_SIZE = 2 * 1024 * 1024 + 5
MESSAGE = "Hallo vom Telefon – Grüße aus der Küche"
DIALOG_CAPTION = "Datei auswaehlen"
NO_DEVICE_LINE = "Kein Geraet ausgewaehlt."

# Time limits, generous enough for an instrumented build on a busy machine.
START_TIMEOUT = 30.0
DISCOVERY_TIMEOUT = 40.0
STEP_TIMEOUT = 30.0
EXIT_TIMEOUT = 30.0
OVERALL_TIMEOUT = 270
POLL_INTERVAL = 0.1
# Discovery rebuilds the device list about every 6 s (one browse cycle),
# dropping the selected row; a send is started right after a rebuild, and
# tried again if a rebuild still came between the click on the row and the
# chosen file.
SEND_ATTEMPTS = 3
REBUILD_WAIT = 10.0

PR_SET_CHILD_SUBREAPER = 36


class StepFailed(Exception):
    pass


STARTED = time.monotonic()


def log(text):
    sys.stdout.write(f"e2e: [{time.monotonic() - STARTED:5.1f} s] {text}\n")
    sys.stdout.flush()


def wait_for(what, probe, timeout=STEP_TIMEOUT, interval=POLL_INTERVAL):
    """Polls probe() until it returns something true; fails naming what."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = probe()
            if value:
                return value
        except StepFailed:
            raise
        except Exception as error:  # a widget may vanish between two calls
            last_error = error
        if time.monotonic() >= deadline:
            detail = f" (last error: {last_error})" if last_error else ""
            raise StepFailed(f"{what}: not within {timeout:.0f} s{detail}")
        pump_events()
        time.sleep(interval)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


def tail(path, lines=120):
    try:
        with open(path, "r", encoding="utf-8", errors="replace") as f:
            content = f.readlines()
    except OSError as error:
        return f"({error})\n"
    cut = content[-lines:]
    prefix = f"(last {lines} of {len(content)} lines)\n" if len(content) > lines else ""
    return prefix + "".join(cut)


# ---- processes ---------------------------------------------------------------


class Processes:
    """Every process the test starts, ended in reverse order; orphans of
    them (daemons that fork) come back to this process as their reaper."""

    def __init__(self):
        self.started = []
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            log("warning: could not become the reaper of orphaned processes")

    def start(self, name, argv, **kwargs):
        try:
            proc = subprocess.Popen(argv, **kwargs)
        except OSError as error:
            raise StepFailed(f"cannot start {name} ({argv[0]}): {error}")
        self.started.append((name, proc))
        return proc

    def stop(self, proc, grace=5.0):
        if proc.poll() is not None:
            return
        proc.terminate()
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def stop_all(self):
        for _, proc in reversed(self.started):
            self.stop(proc)
        # What the started processes left running: children of this process
        # now, whichever process started them.
        for attempt in range(2):
            strays = self.children()
            if not strays:
                break
            for pid in strays:
                try:
                    os.kill(pid, signal.SIGTERM if attempt == 0 else signal.SIGKILL)
                except ProcessLookupError:
                    pass
            deadline = time.monotonic() + 3.0
            while self.children() and time.monotonic() < deadline:
                self.reap()
                time.sleep(0.05)
        self.reap()

    def reap(self):
        try:
            while os.waitpid(-1, os.WNOHANG)[0] > 0:
                pass
        except ChildProcessError:
            pass

    @staticmethod
    def children():
        me = os.getpid()
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    stat = f.read()
            except OSError:
                continue
            # The command name may hold spaces and parentheses: fields follow
            # the last ")".
            fields = stat[stat.rfind(b")") + 2 :].split()
            if len(fields) >= 2 and int(fields[1]) == me and fields[0] != b"Z":
                found.append(int(entry))
        return found


def read_line_with_timeout(stream, timeout):
    ready, _, _ = select.select([stream], [], [], timeout)
    if not ready:
        return None
    return stream.readline()


class PhoneOutput:
    """Collects the simulated phone's READY and EVENT lines."""

    def __init__(self, stream, copy_path):
        self.events = []
        self.lock = threading.Lock()
        self.ready = None
        self.copy = open(copy_path, "w", encoding="utf-8")
        self.thread = threading.Thread(target=self.run, args=(stream,), daemon=True)
        self.thread.start()

    def run(self, stream):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            kind, _, payload = line.partition(" ")
            try:
                data = json.loads(payload)
            except ValueError:
                data = None
            with self.lock:
                if kind == "READY" and data is not None:
                    self.ready = data
                elif kind == "EVENT" and data is not None:
                    # The bodies are checked on disk; the log stays readable.
                    data.pop("head", None)
                    data.pop("body", None)
                    self.events.append(data)
                self.copy.write(json.dumps({"kind": kind, **(data or {"text": line})}, ensure_ascii=False) + "\n")
                self.copy.flush()

    def find(self, predicate):
        with self.lock:
            for event in self.events:
                if predicate(event):
                    return event
        return None

    def count(self, predicate):
        with self.lock:
            return sum(1 for event in self.events if predicate(event))


# ---- accessibility -----------------------------------------------------------

pyatspi = None
Atspi = None
GLib = None


def load_atspi():
    global pyatspi, Atspi, GLib
    import pyatspi as module
    from gi.repository import Atspi as atspi_module
    from gi.repository import GLib as glib_module

    pyatspi, Atspi, GLib = module, atspi_module, glib_module


def pump_events():
    # Keeps the accessibility client's queue of change notices drained.
    if GLib is not None:
        context = GLib.MainContext.default()
        while context.iteration(False):
            pass


def uncached(accessible):
    # Answers come from the application every time: nothing here runs the
    # event loop that would keep a cache current.
    try:
        accessible.set_cache_mask(Atspi.Cache.NONE)
    except Exception:
        pass
    return accessible


def find_application():
    desktop = uncached(pyatspi.Registry.getDesktop(0))
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == APP_NAME:
            return uncached(app)
    return None


def walk(root, max_depth=14):
    stack = [(root, 0)]
    while stack:
        node, depth = stack.pop()
        if node is None:
            continue
        yield node
        if depth >= max_depth:
            continue
        try:
            count = node.childCount
        except Exception:
            continue
        for i in reversed(range(count)):
            try:
                stack.append((node.getChildAtIndex(i), depth + 1))
            except Exception:
                pass


def role_name(node):
    try:
        return node.getRoleName()
    except Exception:
        return "?"


def find(root, name=None, roles=None, showing=False):
    for node in walk(root):
        try:
            if name is not None and node.name != name:
                continue
            if roles is not None and node.getRole() not in roles:
                continue
            if showing and not node.getState().contains(pyatspi.STATE_SHOWING):
                continue
            return node
        except Exception:
            continue
    return None


def item_names(node):
    names = []
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None and child.getRole() == pyatspi.ROLE_LIST_ITEM:
            names.append(child.name)
    return names


def list_item(node, predicate):
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None and child.getRole() == pyatspi.ROLE_LIST_ITEM and predicate(child.name or ""):
            return child
    return None


def press(node, what):
    action = node.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    for wanted in ("Press", "press", "click", "Trigger"):
        if wanted in names:
            action.doAction(names.index(wanted))
            return
    raise StepFailed(f"{what} offers no press action (actions: {names})")


def centre(node):
    extents = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    if extents.width <= 0 or extents.height <= 0:
        raise StepFailed(f"{node.name!r} has no area on the screen")
    return extents.x + extents.width // 2, extents.y + extents.height // 2


def dump_tree(root, max_depth=9, limit=250):
    lines = []
    stack = [(root, 0)]
    while stack and len(lines) < limit:
        node, depth = stack.pop()
        try:
            showing = node.getState().contains(pyatspi.STATE_SHOWING)
            lines.append("  " * depth + f"[{role_name(node)}] {node.name!r}{'' if showing else ' (hidden)'}")
            if depth < max_depth:
                for i in reversed(range(node.childCount)):
                    stack.append((node.getChildAtIndex(i), depth + 1))
        except Exception as error:
            lines.append("  " * depth + f"(unreadable: {error})")
    return "\n".join(lines)


# ---- the test ----------------------------------------------------------------


class EndToEnd:
    def __init__(self, args, scratch):
        self.args = args
        self.scratch = scratch
        self.procs = Processes()
        self.env = dict(os.environ)
        self.home = os.environ["HOME"]
        self.config_home = os.environ.get("XDG_CONFIG_HOME", os.path.join(self.home, ".config"))
        self.receive_dir = os.path.join(self.home, "Downloads")
        self.phone_dir = os.path.join(scratch, "phone")
        self.outbox = os.path.join(scratch, "outbox")
        self.app_log = os.path.join(scratch, "app.log")
        self.phone_log = os.path.join(scratch, "phone.log")
        self.phone_events = os.path.join(scratch, "phone-events.log")
        self.xvfb_log = os.path.join(scratch, "xvfb.log")
        self.trayer_log = os.path.join(scratch, "trayer.log")
        self.bus_log = os.path.join(scratch, "bus.log")
        self.app = None
        self.phone = None
        self.phone_output = None
        self.accessible_app = None
        self.step = "setting up"

    # -- environment --

    def begin(self, step):
        self.step = step
        log(step)

    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True, text=True,
                                timeout=20)
        if check and result.returncode != 0:
            raise StepFailed(f"xdotool {' '.join(map(str, args))} failed: {result.stderr.strip()}")
        return result.stdout

    def start_display(self):
        self.begin("starting the virtual display")
        read_end, write_end = os.pipe()
        with open(self.xvfb_log, "wb") as err:
            # A Unix-socket display only (in the abstract namespace it is as
            # private as the network namespace). No reset when the last
            # client leaves: one that connects meanwhile would be refused.
            self.procs.start("Xvfb", ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset",
                                      "-screen", "0", "1280x800x24"], pass_fds=(write_end,), stdout=err, stderr=err)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as reader:
            line = read_line_with_timeout(reader, START_TIMEOUT)
        if not line or not line.strip().isdigit():
            raise StepFailed("Xvfb reported no display number")
        self.env["DISPLAY"] = ":" + line.strip().decode()
        wait_for("the display answering", lambda: subprocess.run(["xdpyinfo"], env=self.env,
                                                                   capture_output=True).returncode == 0)

    def start_buses(self):
        self.begin("starting the session bus and the accessibility bus")
        bus_dir = os.path.join(self.scratch, "bus")
        os.mkdir(bus_dir, 0o700)
        with open(self.bus_log, "ab") as err:
            daemon = self.procs.start("dbus-daemon", ["dbus-daemon", "--session", "--nofork", "--print-address",
                                                      "--address=unix:dir=" + bus_dir],
                                      env=self.env, stdout=subprocess.PIPE, stderr=err)
        line = read_line_with_timeout(daemon.stdout, START_TIMEOUT)
        if not line:
            raise StepFailed("the session bus reported no address")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = line.decode().strip()
        with open(self.bus_log, "ab") as err:
            self.procs.start("at-spi-bus-launcher", [self.args.bus_launcher, "--launch-immediately"],
                             env=self.env, stdout=err, stderr=err)
        # This process is an accessibility client on the same buses.
        os.environ["DISPLAY"] = self.env["DISPLAY"]
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = self.env["DBUS_SESSION_BUS_ADDRESS"]
        load_atspi()

    def start_tray(self):
        self.begin("starting the tray host")
        with open(self.trayer_log, "ab") as out:
            tray = self.procs.start("trayer", ["trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                                               "request", "--height", "28", "--SetDockType", "true",
                                               "--transparent", "false", "--tint", "0x202020"],
                                    env=dict(self.env, NO_AT_BRIDGE="1"), stdout=out, stderr=out)

        def panel():
            if tray.poll() is not None:
                raise StepFailed(f"the tray host ended at once with exit code {tray.returncode}")
            return self.xdotool("search", "--classname", "^panel$", check=False).split()

        self.panel = wait_for("the tray host's panel", panel, timeout=START_TIMEOUT)[0]

    def start_phone(self):
        self.begin("starting the simulated phone")
        os.mkdir(self.phone_dir)
        with open(self.phone_log, "wb") as err:
            self.phone = self.procs.start(
                "sim_phone",
                [sys.executable, self.args.sim_phone, "--announce", "--name", PHONE_NAME, "--code", PHONE_CODE,
                 "--upload-dir", self.phone_dir, "--exit-on-stdin-eof"],
                env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)
        self.phone_output = PhoneOutput(self.phone.stdout, self.phone_events)
        ready = wait_for("the phone's READY line", lambda: self.phone_output.ready or self.phone_exited())
        if not isinstance(ready, dict):
            raise StepFailed("the simulated phone ended before it was ready")
        self.phone_info = ready
        log(f"phone {ready['deviceId']} listens on port {ready['port']}")

    def phone_exited(self):
        if self.phone.poll() is not None:
            return "exited"
        return None

    def start_app(self):
        self.begin("starting the application")
        env = dict(self.env)
        for name in ("XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION",
                     "QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE"):
            env.pop(name, None)
        # Qt's own file dialog (no desktop theme to hand it to) and the
        # accessibility bridge on without a screen reader asking for it.
        env.update(QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
        with open(self.app_log, "wb") as out:
            self.app = self.procs.start("kaveltor-companion", [self.args.app], env=env, stdout=out, stderr=out,
                                        stdin=subprocess.DEVNULL)
        self.accessible_app = wait_for("the application on the accessibility bus",
                                       lambda: self.app_alive() and find_application(), timeout=START_TIMEOUT)

    def app_alive(self):
        if self.app.poll() is not None:
            raise StepFailed(f"the application ended early with exit code {self.app.returncode}")
        return True

    # -- the application's windows --

    def tray_icon_centre(self):
        def icon():
            tree = subprocess.run(["xwininfo", "-tree", "-id", self.panel], env=self.env, capture_output=True,
                                  text=True).stdout
            for line in tree.splitlines():
                if f'"{APP_NAME}"' in line:
                    window = line.split()[0]
                    info = subprocess.run(["xwininfo", "-id", window], env=self.env, capture_output=True,
                                          text=True).stdout
                    values = {}
                    for row in info.splitlines():
                        key, _, value = row.strip().partition(":")
                        values[key] = value.strip()
                    width = int(values.get("Width", "0"))
                    if width > 1:
                        x = int(values["Absolute upper-left X"])
                        y = int(values["Absolute upper-left Y"])
                        return x + width // 2, y + int(values["Height"]) // 2
            return None

        return wait_for("the tray icon docked in the tray host", lambda: self.app_alive() and icon(),
                        timeout=START_TIMEOUT)

    def main_window(self):
        return find(self.accessible_app, name=APP_NAME, roles=(pyatspi.ROLE_FRAME, pyatspi.ROLE_WINDOW),
                    showing=True)

    def sheet(self):
        return find(self.accessible_app, name="Einstellungen", roles=(pyatspi.ROLE_DIALOG, pyatspi.ROLE_WINDOW,
                                                                      pyatspi.ROLE_FRAME), showing=True)

    def device_list(self):
        window = self.main_window()
        return window and find(window, name="Geräte", roles=(pyatspi.ROLE_LIST, pyatspi.ROLE_TABLE,
                                                              pyatspi.ROLE_TREE))

    def phone_row(self, state):
        devices = self.device_list()
        wanted = f"{PHONE_NAME} \u2022 {state}"
        return devices and list_item(devices, lambda name: name == wanted)

    def rows(self):
        devices = self.device_list()
        return item_names(devices) if devices else []

    def only_row(self, state):
        rows = self.rows()
        if rows != [f"{PHONE_NAME} \u2022 {state}"]:
            raise StepFailed(f"the device list shows {rows}, expected the phone once")

    def show_window(self):
        self.begin("a click on the tray icon shows the window")
        x, y = self.tray_icon_centre()
        self.xdotool("mousemove", x, y, "click", "1")
        wait_for("the main window shown", lambda: self.app_alive() and self.main_window())
        # Sheet, buttons and list by the names a screen reader announces.
        for name in ("Einstellungen", "Minimieren", "Explorer"):
            wait_for(f"the button {name!r}",
                     lambda name=name: find(self.main_window(), name=name, roles=(pyatspi.ROLE_PUSH_BUTTON,)))
        wait_for("the device list 'Geräte'", self.device_list)

    def toggle_sheet(self, open_it):
        button = wait_for("the settings button", lambda: find(self.main_window(), name="Einstellungen",
                                                               roles=(pyatspi.ROLE_PUSH_BUTTON,)))
        press(button, "the settings button")
        if open_it:
            return wait_for("the settings sheet shown", self.sheet)
        wait_for("the settings sheet closed", lambda: self.sheet() is None)
        return None

    # -- steps --

    def phone_appears_unpaired(self):
        self.begin("the announced phone appears as \"Nicht gepaired\"")
        wait_for(f"a row \"{PHONE_NAME} \u2022 Nicht gepaired\" (rows: see below)",
                 lambda: self.app_alive() and self.phone_row("Nicht gepaired"), timeout=DISCOVERY_TIMEOUT)
        self.only_row("Nicht gepaired")
        identity = self.phone_output.find(lambda e: e.get("path") == "/identity")
        if identity is None:
            raise StepFailed("the phone was listed without its identity ever being asked for")

    def pair(self):
        self.begin("pairing through the settings sheet with the phone's code")
        sheet = self.toggle_sheet(True)
        self.read_receive_folder(sheet)
        # Qt names a combo box on Linux by its current text (its label would
        # be a relation), so the pairing box is found as the sheet's first.
        combo = wait_for("the combo box 'Gerät zum Pairen'",
                         lambda: find(sheet, roles=(pyatspi.ROLE_COMBO_BOX,)))
        shown = combo.name or ""
        if not shown.startswith(PHONE_NAME + " \u2022 "):
            raise StepFailed(f"the pairing combo box shows {shown!r}, not the phone")
        code = wait_for("the line edit 'Pairing-Code'", lambda: find(sheet, name="Pairing-Code"))
        code.queryEditableText().setTextContents(PHONE_CODE)
        wait_for("the code typed into 'Pairing-Code'", lambda: code.queryText().getText(0, -1) == PHONE_CODE)
        button = wait_for("the button 'Pairen'", lambda: find(sheet, name="Pairen", roles=(pyatspi.ROLE_PUSH_BUTTON,)))
        press(button, "the button 'Pairen'")
        event = wait_for("the phone answering a pairing request",
                         lambda: self.phone_output.find(lambda e: e.get("path") == "/pair"))
        if event.get("outcome") != "paired":
            raise StepFailed(f"the phone refused the pairing: {event}")
        wait_for(f"the row turning \"{PHONE_NAME} \u2022 Online\"", lambda: self.app_alive() and
                 self.phone_row("Online"))
        self.only_row("Online")
        wait_for("the pairing stored in the settings file", self.pairing_stored)
        self.toggle_sheet(False)

    def read_receive_folder(self, sheet):
        field = wait_for("the field 'Empfangsordner'", lambda: find(sheet, name="Empfangsordner"))
        shown = field.queryText().getText(0, -1)
        # The default for a new user: the download folder of the home.
        expected = os.path.join(self.home, "Downloads")
        if os.path.realpath(shown) != os.path.realpath(expected):
            raise StepFailed(f"the sheet shows the receive folder {shown!r}, expected {expected!r}")
        self.receive_dir = shown

    def settings_text(self):
        try:
            with open(os.path.join(self.config_home, SETTINGS_FILE), encoding="utf-8") as f:
                return f.read()
        except OSError:
            return ""

    def pairing_stored(self):
        text = self.settings_text()
        return (f"id={self.phone_info['deviceId']}" in text and f"sharedSecret={self.phone_info['secret']}" in text
                and f"name={PHONE_NAME}" in text)

    def send_with_explorer(self):
        self.begin("a file chosen with \"Explorer\" arrives at the phone byte-identical")
        os.mkdir(self.outbox)
        source = os.path.join(self.outbox, SENT_NAME)
        with open(source, "wb") as f:
            f.write(os.urandom(SENT_SIZE))
        uploads = lambda e: e.get("path") == "/upload"  # noqa: E731
        for attempt in range(1, SEND_ATTEMPTS + 1):
            self.select_phone_right_after_rebuild()
            explorer = find(self.main_window(), name="Explorer", roles=(pyatspi.ROLE_PUSH_BUTTON,))
            press(explorer, "the button 'Explorer'")
            self.choose_in_file_dialog(source)
            try:
                event = wait_for("the phone receiving the upload", lambda: self.phone_output.find(uploads),
                                 timeout=8 if attempt < SEND_ATTEMPTS else STEP_TIMEOUT)
                break
            except StepFailed:
                if attempt == SEND_ATTEMPTS:
                    raise StepFailed(f"no upload reached the phone in {SEND_ATTEMPTS} tries (the device list is "
                                     "rebuilt by discovery; a rebuild while choosing drops the selection)")
                log(f"no upload after try {attempt}: the list was rebuilt while choosing; once more")
        if event.get("outcome") != "stored":
            raise StepFailed(f"the phone did not store the upload: {event}")
        stored = os.listdir(self.phone_dir)
        if stored != [SENT_NAME]:
            raise StepFailed(f"the phone's folder holds {stored}, expected [{SENT_NAME!r}]")
        if sha256(os.path.join(self.phone_dir, SENT_NAME)) != sha256(source):
            raise StepFailed("the file at the phone differs from the one sent")
        if self.phone_output.count(uploads) != 1:
            raise StepFailed("the file was uploaded more than once")
        wait_for("the row showing the phone \"Online\" after the transfer", lambda: self.phone_row("Online"))

    def select_phone_right_after_rebuild(self):
        self.select_phone("the phone's row selected by a click")
        # The next rebuild clears the selection; right after it the longest
        # quiet stretch begins. A selection that outlives a browse cycle
        # needs no such care.
        try:
            wait_for("discovery rebuilding the device list", lambda: not self.phone_row_selected(),
                     timeout=REBUILD_WAIT, interval=0.05)
        except StepFailed:
            return
        self.select_phone("the phone's row selected again after the rebuild")

    def select_phone(self, what):
        deadline = time.monotonic() + STEP_TIMEOUT
        while True:
            self.click(wait_for("the phone's row", lambda: self.phone_row("Online"), interval=0.05))
            try:
                # A rebuild just between the click and this look takes the
                # selection away again: click once more.
                wait_for(what, self.phone_row_selected, timeout=1.5, interval=0.05)
                return
            except StepFailed:
                if time.monotonic() > deadline:
                    raise

    def phone_row_selected(self):
        row = self.phone_row("Online")
        return row is not None and row.getState().contains(pyatspi.STATE_SELECTED)

    def click(self, node):
        x, y = centre(node)
        self.xdotool("mousemove", x, y, "click", "1")

    def choose_in_file_dialog(self, path):
        dialog = wait_for(f"the file dialog {DIALOG_CAPTION!r}",
                          lambda: find(self.accessible_app, name=DIALOG_CAPTION, roles=(pyatspi.ROLE_DIALOG,
                                                                                          pyatspi.ROLE_WINDOW,
                                                                                          pyatspi.ROLE_FRAME),
                                       showing=True))

        def name_field():
            for node in walk(dialog):
                if node.getRole() in (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY) and \
                        node.getState().contains(pyatspi.STATE_EDITABLE) and \
                        node.getState().contains(pyatspi.STATE_FOCUSED):
                    return node
            return None

        field = wait_for("the focused file name field of the dialog", name_field)
        field.queryEditableText().setTextContents(path)
        wait_for("the path typed into the file dialog", lambda: field.queryText().getText(0, -1) == path)
        # Return in the name field accepts the dialog, as a user would finish.
        self.xdotool("key", "--clearmodifiers", "Return")
        wait_for("the file dialog closed", lambda: find(self.accessible_app, name=DIALOG_CAPTION,
                                                        showing=True) is None)

    def phone_sends(self):
        self.begin("a file and a message sent by the phone land in the receive folder")
        source = os.path.join(self.outbox, RECEIVED_NAME)
        with open(source, "wb") as f:
            f.write(os.urandom(RECEIVED_SIZE))
        headers = ["-H", f"X-KAVELTORLink-DeviceId: {self.phone_info['deviceId']}",
                   "-H", f"X-KAVELTORLink-Secret: {self.phone_info['secret']}", "-H", "Expect:"]
        reply = self.curl("/upload", headers + ["-H", f"X-Filename: {RECEIVED_NAME}", "-H",
                                                "Content-Type: application/octet-stream",
                                                "--data-binary", "@" + source])
        if reply.get("received") is not True:
            raise StepFailed(f"the upload from the phone was answered {reply}")
        target = os.path.join(self.receive_dir, RECEIVED_NAME)
        if not os.path.isfile(target):
            raise StepFailed(f"the received file is not at {target}: {os.listdir(self.receive_dir)}")
        if sha256(target) != sha256(source):
            raise StepFailed("the received file differs from the one the phone sent")
        reply = self.curl("/message", headers + ["-H", "Content-Type: text/plain; charset=utf-8",
                                                 "--data-binary", MESSAGE.encode("utf-8")])
        if reply.get("received") is not True:
            raise StepFailed(f"the message from the phone was answered {reply}")
        self.received_path = target

    def curl(self, path, args):
        command = ["curl", "--silent", "--show-error", "--max-time", "60", "--noproxy", "*", *args,
                   f"http://127.0.0.1:{HTTP_PORT}{path}"]
        result = subprocess.run(command, env=self.env, capture_output=True, timeout=90)
        if result.returncode != 0:
            raise StepFailed(f"curl POST {path} failed: {result.stderr.decode(errors='replace').strip()}")
        try:
            return json.loads(result.stdout)
        except ValueError:
            raise StepFailed(f"POST {path} answered no JSON: {result.stdout[:200]!r}")

    def activity_log(self):
        self.begin("the activity log shows the pairing, the transfers and the message")
        sheet = self.toggle_sheet(True)
        expected = [
            f"Pairing erfolgreich: {PHONE_NAME}",
            f"Datei fertig: {SENT_NAME}",
            f"Empfangen: Datei empfangen: {self.received_path}",
            f"Empfangen: {MESSAGE}",
        ]

        def lines():
            history = find(sheet, name="Aktivitätsprotokoll")
            # Each line starts with its time, "[hh:mm:ss] ".
            return [name.split("] ", 1)[-1] for name in item_names(history)] if history else []

        try:
            wait_for("the expected lines in the list 'Aktivitätsprotokoll'",
                     lambda: all(line in lines() for line in expected), timeout=10)
        except StepFailed:
            raise StepFailed(f"the activity log lacks {[l for l in expected if l not in lines()]}; "
                             f"it holds {lines()}")
        if NO_DEVICE_LINE in lines():
            log(f"note: the log also holds {NO_DEVICE_LINE!r} from a send tried again")
        self.toggle_sheet(False)

    def quit_from_tray(self):
        self.begin("\"Beenden\" in the tray menu ends the program with exit code 0")
        # A popup menu is no child of the application on the accessibility
        # bus; it is found through the notice that it is being shown.
        popups = []

        def shown(event):
            if event.detail1 == 1 and event.source is not None and \
                    event.source.getRole() == pyatspi.ROLE_POPUP_MENU:
                popups.append(event.source)

        pyatspi.Registry.registerEventListener(shown, "object:state-changed:showing")
        try:
            x, y = self.tray_icon_centre()
            self.xdotool("mousemove", x, y, "click", "3")
            menu = wait_for("the tray menu shown by a right click", lambda: popups and popups[-1])
        finally:
            pyatspi.Registry.deregisterEventListener(shown, "object:state-changed:showing")
        entries = [child.name for child in menu if child is not None]
        if entries != ["\u00d6ffnen", "Beenden"]:
            raise StepFailed(f"the tray menu offers {entries}, expected ['Öffnen', 'Beenden']")
        self.click(find(menu, name="Beenden", roles=(pyatspi.ROLE_MENU_ITEM,)))
        try:
            code = self.app.wait(EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise StepFailed(f"the program still runs {EXIT_TIMEOUT:.0f} s after 'Beenden'")
        if code != 0:
            raise StepFailed(f"the program ended with exit code {code}")

    def nothing_stray(self):
        self.begin("no stray file is left behind")
        found = sorted(os.listdir(self.receive_dir))
        if found != [RECEIVED_NAME]:
            raise StepFailed(f"the receive folder holds {found}, expected exactly [{RECEIVED_NAME!r}]")
        leftovers = []
        for top in {self.home, self.config_home, os.environ.get("XDG_DATA_HOME", self.home)}:
            for folder, _, files in os.walk(top):
                leftovers += [os.path.join(folder, f) for f in files if f.endswith(".part")]
        if leftovers:
            raise StepFailed(f"partial files left behind: {leftovers}")
        if sorted(os.listdir(self.phone_dir)) != [SENT_NAME]:
            raise StepFailed(f"the phone's folder holds {os.listdir(self.phone_dir)}")
        if not self.pairing_stored():
            raise StepFailed("the pairing is no longer in the settings file after quitting")

    def run(self):
        started = time.monotonic()
        self.start_display()
        self.start_buses()
        self.start_tray()
        self.start_phone()
        self.start_app()
        self.show_window()
        self.phone_appears_unpaired()
        self.pair()
        self.send_with_explorer()
        self.phone_sends()
        self.activity_log()
        self.quit_from_tray()
        self.nothing_stray()
        log(f"all steps passed in {time.monotonic() - started:.1f} s")

    def report_failure(self, message):
        out = sys.stderr
        out.write(f"\ne2e: FAILED at step \"{self.step}\":\n    {message}\n")
        if self.accessible_app is not None and self.app is not None and self.app.poll() is None:
            try:
                out.write("\n--- the application's accessible tree ---\n")
                out.write(dump_tree(self.accessible_app) + "\n")
            except Exception as error:
                out.write(f"(unreadable: {error})\n")
        for title, path in (("application output", self.app_log), ("phone (stderr)", self.phone_log),
                            ("phone events", self.phone_events), ("Xvfb", self.xvfb_log),
                            ("tray host", self.trayer_log), ("buses", self.bus_log)):
            if path == self.app_log or (os.path.exists(path) and os.path.getsize(path) > 0):
                out.write(f"\n--- {title} ---\n{tail(path) or '(nothing)'}")
        out.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--app", required=True, help="the kaveltor-companion binary")
    parser.add_argument("--sim-phone", required=True, help="tests/sim_phone/sim_phone.py")
    parser.add_argument("--bus-launcher", default="/usr/libexec/at-spi-bus-launcher")
    parser.add_argument("--keep", help="copy the logs into this folder afterwards")
    args = parser.parse_args()

    def interrupted(signum, _frame):
        raise StepFailed(f"interrupted by signal {signum}")

    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGALRM, lambda *_: interrupted("SIGALRM (overall time limit)", None))
    signal.alarm(OVERALL_TIMEOUT)

    scratch = tempfile.mkdtemp(prefix="kaveltor-e2e.")
    test = EndToEnd(args, scratch)
    status = 1
    try:
        test.run()
        status = 0
    except StepFailed as error:
        test.report_failure(str(error))
    except Exception as error:  # anything unforeseen still cleans up
        import traceback

        test.report_failure(f"{type(error).__name__}: {error}\n{traceback.format_exc()}")
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        test.procs.stop_all()
        if args.keep:
            shutil.copytree(scratch, args.keep, dirs_exist_ok=True)
        shutil.rmtree(scratch, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
