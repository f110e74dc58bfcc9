#!/usr/bin/python3
# A stand-in notification service: prints each Notify call as a JSON line.
# "invoke ID KEY" and "close ID" on stdin emit what a user's click would; the
# end of stdin ends it.
import json
from gi.repository import Gio, GLib

NAME, PATH, last_id = "org.freedesktop.Notifications", "/org/freedesktop/Notifications", 0
XML = f"""<node><interface name="{NAME}"><method name="GetCapabilities"><arg type="as" direction="out"/></method>
<method name="Notify"><arg type="s"/><arg type="u"/><arg type="s"/><arg type="s"/><arg type="s"/><arg type="as"/>
<arg type="a{{sv}}"/><arg type="i"/><arg type="u" direction="out"/></method></interface></node>"""


def on_call(conn, sender, path, iface, method, params, invocation):
    global last_id
    if method == "GetCapabilities":
        return invocation.return_value(GLib.Variant("(as)", (["actions", "body", "body-markup"],)))
    call = dict(zip(("app", "replaces", "icon", "summary", "body", "actions", "hints", "timeout"), params.unpack()))
    last_id += 0 if call["replaces"] else 1
    call["id"] = call["replaces"] or last_id
    print(json.dumps(call), flush=True)
    invocation.return_value(GLib.Variant("(u)", (call["id"],)))


def on_stdin(channel, _condition, conn):
    words = channel.readline().split()
    if not words:
        return loop.quit()
    invoke = words[0] == "invoke"
    conn.emit_signal(None, PATH, NAME, "ActionInvoked" if invoke else "NotificationClosed",
                     GLib.Variant("(us)" if invoke else "(uu)", (int(words[1]), words[2] if invoke else 2)))
    return True


def on_bus(conn, _name):
    conn.register_object(PATH, Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], on_call, None, None)
    GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.IO_IN | GLib.IO_HUP, on_stdin, conn)


loop = GLib.MainLoop()
Gio.bus_own_name(Gio.BusType.SESSION, NAME, Gio.BusNameOwnerFlags.NONE, on_bus, None, lambda *_: loop.quit())
loop.run()
