# "An Handy senden" in the context menu of files in Nautilus (through the
# python3-nautilus extension loader); hands them to KAVELTOR Companion.
from gi.repository import GLib, GObject, Nautilus


class SendToPhone(GObject.GObject, Nautilus.MenuProvider):
    def get_file_items(self, *args):
        files = args[-1]  # Nautilus 43 passes the files alone, older ones the window first
        paths = [f.get_location().get_path() for f in files if not f.is_directory()]
        if not paths or len(paths) != len(files) or None in paths:
            return []  # folders and files that are not local cannot be sent
        item = Nautilus.MenuItem(name="KaveltorCompanion::SendToPhone", label="An Handy senden",
                                 icon="example.zeltraworks.KaveltorCompanion")
        item.connect("activate", lambda *_: GLib.spawn_async(
            ["kaveltor-companion", "--send", "--ask", "--", *paths], flags=GLib.SpawnFlags.SEARCH_PATH))
        return [item]
