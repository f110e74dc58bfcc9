#!/usr/bin/python3
# A stand-in for the session's package installer. Owns the PackageKit name on
# the session bus and prints each InstallPackageFiles call as a JSON line.
#   fake_packagekit.py accept|refuse|bare
# accept: every call succeeds; refuse: every call fails as a cancelled
# installation does; bare: the name only, without the interface. The end of
# stdin ends it.
import json
import sys
from gi.repository import Gio, GLib

NAME, PATH, MODE = "org.freedesktop.PackageKit", "/org/freedesktop/PackageKit", sys.argv[1]
XML = """<node><interface name="org.freedesktop.PackageKit.Modify2"><method name="InstallPackageFiles">
<arg type="as" direction="in"/><arg type="s" direction="in"/><arg type="a{sv}" direction="in"/></method></interface></node>"""


def on_call(conn, sender, path, iface, method, params, invocation):
    files, interaction, _platform = params.unpack()
    print(json.dumps({"files": files, "interaction": interaction}), flush=True)
    if MODE == "refuse":
        return invocation.return_dbus_error("org.freedesktop.PackageKit.Modify2.Cancelled", "Vom Benutzer abgebrochen")
    invocation.return_value(None)


def on_bus(conn, _name):
    if MODE != "bare":
        conn.register_object(PATH, Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], on_call, None, None)
    GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.IO_IN | GLib.IO_HUP, lambda *_: loop.quit())


loop = GLib.MainLoop()
Gio.bus_own_name(Gio.BusType.SESSION, NAME, Gio.BusNameOwnerFlags.NONE, on_bus, None, lambda *_: loop.quit())
loop.run()
