#!/usr/bin/python3
# A stand-in for firewalld on a private bus: zone "home", which allows what
# the command line names ("5353/udp", "mdns", "53319/tcp"). Prints READY.
import sys

from gi.repository import Gio, GLib

ALLOWED = set(sys.argv[1:])
XML = """<node>
<interface name="org.fedoraproject.FirewallD1"><method name="getDefaultZone"><arg type="s" direction="out"/></method></interface>
<interface name="org.fedoraproject.FirewallD1.zone">
 <method name="getZoneOfInterface"><arg type="s" direction="in"/><arg type="s" direction="out"/></method>
 <method name="queryPort"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
  <arg type="b" direction="out"/></method>
 <method name="queryService"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="b" direction="out"/></method>
</interface></node>"""


def call(connection, sender, path, interface, method, args, invocation):
    answers = {"getDefaultZone": lambda: ("(s)", ("home",)),
               "getZoneOfInterface": lambda: ("(s)", ("",)),
               "queryPort": lambda: ("(b)", (f"{args[1]}/{args[2]}" in ALLOWED and args[0] == "home",)),
               "queryService": lambda: ("(b)", (args[1] in ALLOWED and args[0] == "home",))}
    invocation.return_value(GLib.Variant(*answers[method]()))


def acquired(connection, name):
    for interface in Gio.DBusNodeInfo.new_for_xml(XML).interfaces:
        connection.register_object("/org/fedoraproject/FirewallD1", interface, call)
    print("READY", flush=True)


Gio.bus_own_name(Gio.BusType.SESSION, "org.fedoraproject.FirewallD1", Gio.BusNameOwnerFlags.NONE, None, acquired)
GLib.MainLoop().run()
