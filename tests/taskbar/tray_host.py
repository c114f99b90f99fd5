#!/usr/bin/python3
"""A small tray for tests: the StatusNotifierWatcher of the session bus and a host that shows the
registered item's icon in a window of its own (titled "tray"), so that a screenshot shows it.

Lines on standard output (JSON), one per change:
  {"event": "ready"}
  {"event": "item", "icon": ..., "title": ..., "status": ..., "menu": [[label, enabled], ...]}
Commands on standard input, one per line:
  click LABEL     activate the menu item LABEL as a tray host does when it is clicked
  state           print the item line again
"""
import json
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import Gio, GLib, GdkPixbuf, Gtk  # noqa: E402

WATCHER_XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"


class Tray:
    def __init__(self):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        self.item = None  # (bus name, object path)
        self.items = []
        self.state = {}
        self.window = Gtk.Window(title="tray")
        self.window.set_default_size(64, 40)
        self.window.move(0, 0)
        self.image = Gtk.Image()
        self.window.add(self.image)
        self.window.show_all()
        info = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML)
        self.bus.register_object("/StatusNotifierWatcher", info.interfaces[0], self.on_call, self.on_property, None)
        Gio.bus_own_name_on_connection(self.bus, "org.kde.StatusNotifierWatcher", Gio.BusNameOwnerFlags.NONE,
                                       self.on_name, None)
        GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP,
                          self.on_command)

    def say(self, obj):
        sys.stdout.write(json.dumps(obj) + "\n")
        sys.stdout.flush()

    def on_name(self, _bus, _name):
        self.say({"event": "ready"})

    def on_property(self, _bus, _sender, _path, _iface, name):
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", self.items)
        if name == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        return GLib.Variant("i", 0)

    def on_call(self, _bus, sender, _path, _iface, method, params, invocation):
        if method == "RegisterStatusNotifierItem":
            service = params.unpack()[0]
            path = service if service.startswith("/") else "/StatusNotifierItem"
            name = sender if service.startswith("/") else service
            self.item = (name, path)
            self.items = [name + path]
            self.bus.emit_signal(None, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                                 "StatusNotifierItemRegistered", GLib.Variant("(s)", (name + path,)))
            self.bus.signal_subscribe(name, ITEM, None, path, None, Gio.DBusSignalFlags.NONE,
                                      lambda *a: self.refresh(), None)
            # A menu item greyed or offered again comes as a dbusmenu signal.
            self.bus.signal_subscribe(name, MENU, None, None, None, Gio.DBusSignalFlags.NONE,
                                      lambda *a: self.refresh(), None)
            self.bus.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", None, name,
                                      Gio.DBusSignalFlags.NONE, self.on_owner, None)
            GLib.idle_add(self.refresh)
        invocation.return_value(None)

    def on_owner(self, _bus, _sender, _path, _iface, _signal, params, _data):
        name, _old, new = params.unpack()
        if self.item and name == self.item[0] and not new:
            self.item = None
            self.items = []
            self.state = {"event": "item", "gone": True}
            self.image.clear()
            self.say(self.state)

    def prop(self, name):
        try:
            v = self.bus.call_sync(self.item[0], self.item[1], "org.freedesktop.DBus.Properties", "Get",
                                   GLib.Variant("(ss)", (ITEM, name)), GLib.VariantType("(v)"),
                                   Gio.DBusCallFlags.NONE, 2000, None)
            return v.unpack()[0]
        except GLib.Error:
            return None

    def menu_items(self):
        menu_path = self.prop("Menu")
        if not menu_path:
            return []
        layout = self.bus.call_sync(self.item[0], menu_path, MENU, "GetLayout",
                                    GLib.Variant("(iias)", (0, -1, [])), None, Gio.DBusCallFlags.NONE, 2000, None)
        _rev, (_id, _props, children) = layout.unpack()
        out = []
        for child in children:
            cid, props, _sub = child
            out.append((cid, props.get("label", "-" if props.get("type") == "separator" else ""),
                        props.get("enabled", True), props.get("visible", True)))
        return out

    def refresh(self):
        if not self.item:
            return False
        icon, theme = self.prop("IconName"), self.prop("IconThemePath")
        self.state = {"event": "item", "icon": icon, "title": self.prop("Title"), "status": self.prop("Status"),
                      "theme": theme,
                      "menu": [[label, enabled] for _id, label, enabled, visible in self.menu_items() if visible]}
        path = os.path.join(theme or "", (icon or "") + ".svg")
        if os.path.exists(path):
            self.image.set_from_pixbuf(GdkPixbuf.Pixbuf.new_from_file_at_size(path, 24, 24))
        self.say(self.state)
        return False

    def on_command(self, channel, condition):
        if condition & GLib.IO_HUP:
            Gtk.main_quit()
            return False
        line = sys.stdin.readline()
        if not line:
            Gtk.main_quit()
            return False
        words = line.strip().split(" ", 1)
        if words[0] == "click" and self.item:
            for cid, label, _enabled, _visible in self.menu_items():
                if label.replace("_", "") == words[1]:
                    self.bus.call_sync(self.item[0], self.prop("Menu"), MENU, "Event",
                                       GLib.Variant("(isvu)", (cid, "clicked", GLib.Variant("i", 0), 0)),
                                       None, Gio.DBusCallFlags.NONE, 2000, None)
        elif words[0] == "state":
            self.refresh()
        return True


if __name__ == "__main__":
    Tray()
    Gtk.main()
