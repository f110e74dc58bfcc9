#!/usr/bin/python3
# A stand-in file manager: owns org.freedesktop.FileManager1 on the session
# bus and prints each ShowItems call as a JSON line. The end of stdin ends it.
import json
from gi.repository import Gio, GLib

NAME, PATH = "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1"
XML = f"""<node><interface name="{NAME}"><method name="ShowItems">
<arg type="as" direction="in"/><arg type="s" direction="in"/></method></interface></node>"""


def on_call(conn, sender, path, iface, method, params, invocation):
    uris, startup = params.unpack()
    print(json.dumps({"method": method, "uris": uris, "startup": startup}), flush=True)
    invocation.return_value(None)


def on_bus(conn, _name):
    conn.register_object(PATH, Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], on_call, None, None)
    GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.IO_IN | GLib.IO_HUP,
                      lambda ch, _c: bool(ch.readline()) or loop.quit())


loop = GLib.MainLoop()
Gio.bus_own_name(Gio.BusType.SESSION, NAME, Gio.BusNameOwnerFlags.NONE, on_bus, None, lambda *_: loop.quit())
loop.run()
