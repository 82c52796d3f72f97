#!/usr/bin/python3
"""A desktop's notification server, tray watcher and file manager, for tests on a private bus.

Owns org.freedesktop.Notifications (records every Notify with its actions and the
CLOCK_MONOTONIC time it arrived), org.kde.StatusNotifierWatcher (a host is registered, and
the Introspect answer lists the properties, which Qt reads before it believes in a tray) and
org.freedesktop.FileManager1 (records ShowItems).

Tests steer it through io.github.tunewright.FakeDesktop on /control (bus name
io.github.tunewright.FakeDesktop):
  Notifications() -> s        JSON: every Notify so far
  Invoke(u id, s key)         the user chose action `key` of notification `id`
  Drop(s name) / Own(s name)  leave or take back one of the names above
  Items() -> s                JSON: the services that registered a tray item
  ShowItems() -> s            JSON: the URI lists ShowItems was given
  Menu() -> s                 JSON: the newest item's menu as [label, enabled] pairs
  Click(s label)              clicks that menu entry (com.canonical.dbusmenu Event)
  Activate()                  a click on the newest item's icon
  Item(s property) -> s       JSON: a property of the newest item; IconPixmap as the
                              ARGB of the middle pixel of its largest image
"""
import json
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NOTIFY = "org.freedesktop.Notifications"
WATCHER = "org.kde.StatusNotifierWatcher"
FILES = "org.freedesktop.FileManager1"
CONTROL = "io.github.tunewright.FakeDesktop"
PROPS = "org.freedesktop.DBus.Properties"
INTROSPECT = "org.freedesktop.DBus.Introspectable"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"

WATCHER_XML = """<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/>
   <arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
 </interface>
</node>"""


class State:
    notes = []
    items = []
    shown = []
    names = {}


class Notifications(dbus.service.Object):
    @dbus.service.method(NOTIFY, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        arrived = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        State.notes.append({"id": len(State.notes) + 1, "app": str(app), "icon": str(icon),
                            "summary": str(summary), "body": str(body),
                            "actions": [str(a) for a in actions], "arrived_ns": arrived})
        return dbus.UInt32(len(State.notes))

    @dbus.service.method(NOTIFY, out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body"]

    @dbus.service.method(NOTIFY, out_signature="ssss")
    def GetServerInformation(self):
        return "fake", "tunewright tests", "1", "1.2"

    @dbus.service.method(NOTIFY, in_signature="u")
    def CloseNotification(self, nid):
        self.NotificationClosed(nid, 3)

    @dbus.service.signal(NOTIFY, signature="us")
    def ActionInvoked(self, nid, key):
        pass

    @dbus.service.signal(NOTIFY, signature="uu")
    def NotificationClosed(self, nid, reason):
        pass


class Watcher(dbus.service.Object):
    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        State.items.append({"service": str(service), "sender": str(sender)})
        self.StatusNotifierItemRegistered(service)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[str(name)]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"RegisteredStatusNotifierItems":
                dbus.Array([i["service"] for i in State.items], signature="s"),
                "IsStatusNotifierHostRegistered": dbus.Boolean(True),
                "ProtocolVersion": dbus.Int32(0)}

    @dbus.service.method(INTROSPECT, out_signature="s")
    def Introspect(self):
        return WATCHER_XML


class FileManager(dbus.service.Object):
    @dbus.service.method(FILES, in_signature="ass")
    def ShowItems(self, uris, startup):
        State.shown.append([str(u) for u in uris])


def item_service():
    if not State.items:
        raise dbus.exceptions.DBusException("no tray item registered", name=CONTROL + ".NoItem")
    item = State.items[-1]
    service = item["service"]
    # A name alone, or a name with a path; a path alone means the sender's own.
    if service.startswith("/"):
        return item["sender"], service
    return service.split("/")[0], "/StatusNotifierItem"


def menu_entries(bus):
    service, path = item_service()
    item = bus.get_object(service, path, introspect=False)
    menu_path = item.Get(ITEM, "Menu", dbus_interface=PROPS)
    menu = bus.get_object(service, menu_path, introspect=False)
    _, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=MENU)
    entries = []

    def walk(node):
        nid, props, children = node
        if str(props.get("label", "")):
            entries.append((int(nid), str(props["label"]).replace("&", ""),
                            bool(props.get("enabled", True)), bool(props.get("visible", True))))
        for child in children:
            walk(child)

    walk(layout)
    return menu, entries


class Control(dbus.service.Object):
    def __init__(self, bus, objects):
        super().__init__(bus, "/control")
        self.bus, self.objects = bus, objects

    @dbus.service.method(CONTROL, out_signature="s")
    def Notifications(self):
        return json.dumps(State.notes)

    @dbus.service.method(CONTROL, in_signature="us")
    def Invoke(self, nid, key):
        self.objects[NOTIFY].ActionInvoked(nid, key)
        self.objects[NOTIFY].NotificationClosed(nid, 2)

    @dbus.service.method(CONTROL, in_signature="s")
    def Drop(self, name):
        State.names.pop(str(name), None)  # the BusName's end releases it

    @dbus.service.method(CONTROL, in_signature="s")
    def Own(self, name):
        State.names[str(name)] = dbus.service.BusName(str(name), self.bus)

    @dbus.service.method(CONTROL, out_signature="s")
    def Items(self):
        return json.dumps(State.items)

    @dbus.service.method(CONTROL, out_signature="s")
    def ShowItems(self):
        return json.dumps(State.shown)

    @dbus.service.method(CONTROL, out_signature="s")
    def Menu(self):
        _, entries = menu_entries(self.bus)
        return json.dumps([[label, enabled] for _, label, enabled, visible in entries if visible])

    @dbus.service.method(CONTROL, in_signature="s")
    def Click(self, label):
        menu, entries = menu_entries(self.bus)
        for nid, text, _, _ in entries:
            if text == label:
                menu.Event(nid, "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                           dbus_interface=MENU)
                return
        raise dbus.exceptions.DBusException("no entry " + label, name=CONTROL + ".NoEntry")

    @dbus.service.method(CONTROL)
    def Activate(self):
        service, path = item_service()
        self.bus.get_object(service, path, introspect=False).Activate(
            dbus.Int32(0), dbus.Int32(0), dbus_interface=ITEM)

    @dbus.service.method(CONTROL, in_signature="s", out_signature="s")
    def Item(self, prop):
        service, path = item_service()
        value = self.bus.get_object(service, path, introspect=False).Get(
            ITEM, prop, dbus_interface=PROPS)
        if prop == "IconPixmap":
            if not value:
                return json.dumps(None)
            w, h, data = max(value, key=lambda image: image[0])
            at = ((h // 2) * w + w // 2) * 4
            return json.dumps("%02x%02x%02x%02x" % tuple(data[at:at + 4]))
        if prop == "ToolTip":
            return json.dumps([str(value[0]), str(value[2]), str(value[3])])
        return json.dumps(str(value))


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    objects = {NOTIFY: Notifications(bus, "/org/freedesktop/Notifications"),
               WATCHER: Watcher(bus, "/StatusNotifierWatcher"),
               FILES: FileManager(bus, "/org/freedesktop/FileManager1")}
    Control(bus, objects)
    for name in list(objects) + [CONTROL]:
        State.names[name] = dbus.service.BusName(name, bus)
    GLib.MainLoop().run()


main()
