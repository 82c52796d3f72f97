#!/usr/bin/python3
"""A desktop's half of the global shortcuts portal, for tests on a private bus.

The real frontend (xdg-desktop-portal) talks to this program as it would to KDE's backend:
it owns org.freedesktop.impl.portal.desktop.tunewrighttest (named in tunewrighttest.portal)
and implements org.freedesktop.impl.portal.GlobalShortcuts version 1. Every bind is granted
at once with the preferred trigger behind "Shift+", so that a client showing the desktop's
own words can be told from one showing the key it asked for.

Tests steer it through io.github.tunewright.FakePortal on /control (same bus name):
  Activate(s session, s id) -> t      emit Activated; session "" = the newest one; returns
                                       the CLOCK_MONOTONIC time of the emit in nanoseconds
  AnswerNextBind(u code)              the next BindShortcuts answers code (1 cancel, 2 error)
  CloseSession(s session)             the desktop ends a session (impl Session.Closed)
  ChangeTrigger(s session, s id, s trigger)   the user reassigns a key (ShortcutsChanged)
  State() -> s                        JSON: open sessions with app id and bound shortcuts
From a shell:
  dbus-send --session --print-reply --dest=org.freedesktop.impl.portal.desktop.tunewrighttest \
    /control io.github.tunewright.FakePortal.Activate string: string:record
"""
import json
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS_NAME = "org.freedesktop.impl.portal.desktop.tunewrighttest"
DESKTOP = "/org/freedesktop/portal/desktop"
IMPL = "org.freedesktop.impl.portal.GlobalShortcuts"
SESSION_IFACE = "org.freedesktop.impl.portal.Session"
CONTROL_IFACE = "io.github.tunewright.FakePortal"
PROPS = "org.freedesktop.DBus.Properties"


def shortcut_list(shortcuts):
    return dbus.Array(
        [dbus.Struct((sid, dbus.Dictionary(props, signature="sv"))) for sid, props in shortcuts],
        signature="(sa{sv})")


class Session(dbus.service.Object):
    def __init__(self, backend, path, app_id):
        super().__init__(backend.bus, path)
        self.backend, self.path, self.app_id = backend, path, app_id
        self.shortcuts = []  # [(id, {description, preferred_trigger, trigger_description})]

    @dbus.service.method(SESSION_IFACE)
    def Close(self):
        self.backend.drop(self)

    @dbus.service.signal(SESSION_IFACE)
    def Closed(self):
        pass

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.UInt32(1)


class Backend(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, DESKTOP)
        self.bus = bus
        self.sessions = {}  # path -> Session, oldest first
        self.next_bind_code = 0
        Control(self)

    def drop(self, session):
        if self.sessions.pop(session.path, None) is not None:
            session.remove_from_connection()

    def find(self, path):
        if path:
            return self.sessions.get(path)
        return next(reversed(self.sessions.values()), None)

    @dbus.service.method(IMPL, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        self.sessions[str(session_handle)] = Session(self, str(session_handle), str(app_id))
        return 0, {"session_handle": session_handle, "shortcuts": shortcut_list([])}

    @dbus.service.method(IMPL, in_signature="ooa(sa{sv})sa{sv}", out_signature="ua{sv}")
    def BindShortcuts(self, handle, session_handle, shortcuts, parent_window, options):
        code, self.next_bind_code = self.next_bind_code, 0
        session = self.sessions.get(str(session_handle))
        if code != 0 or session is None:
            return code or 2, {}
        session.shortcuts = []
        for sid, props in shortcuts:
            props = {str(k): str(v) for k, v in props.items()}
            props["trigger_description"] = "Shift+" + props.get("preferred_trigger", "?")
            session.shortcuts.append((str(sid), props))
        return 0, {"shortcuts": shortcut_list(session.shortcuts)}

    @dbus.service.method(IMPL, in_signature="oo", out_signature="ua{sv}")
    def ListShortcuts(self, handle, session_handle):
        session = self.sessions.get(str(session_handle))
        return 0, {"shortcuts": shortcut_list(session.shortcuts if session else [])}

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.UInt32(1)

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"version": dbus.UInt32(1)}

    @dbus.service.signal(IMPL, signature="osta{sv}")
    def Activated(self, session_handle, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(IMPL, signature="osta{sv}")
    def Deactivated(self, session_handle, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(IMPL, signature="oa(sa{sv})")
    def ShortcutsChanged(self, session_handle, shortcuts):
        pass


class Control(dbus.service.Object):
    def __init__(self, backend):
        super().__init__(backend.bus, "/control")
        self.backend = backend

    def session(self, path):
        found = self.backend.find(str(path))
        if found is None:
            raise dbus.exceptions.DBusException("no such session: " + str(path),
                                                name=CONTROL_IFACE + ".NoSession")
        return found

    @dbus.service.method(CONTROL_IFACE, in_signature="ss", out_signature="t")
    def Activate(self, path, shortcut_id):
        session = self.session(path)
        sent = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        self.backend.Activated(dbus.ObjectPath(session.path), shortcut_id,
                               dbus.UInt64(sent // 1000000), dbus.Dictionary({}, signature="sv"))
        self.backend.Deactivated(dbus.ObjectPath(session.path), shortcut_id,
                                 dbus.UInt64(sent // 1000000), dbus.Dictionary({}, signature="sv"))
        return dbus.UInt64(sent)

    @dbus.service.method(CONTROL_IFACE, in_signature="u")
    def AnswerNextBind(self, code):
        self.backend.next_bind_code = int(code)

    @dbus.service.method(CONTROL_IFACE, in_signature="s")
    def CloseSession(self, path):
        session = self.session(path)
        session.Closed()
        self.backend.drop(session)

    @dbus.service.method(CONTROL_IFACE, in_signature="sss")
    def ChangeTrigger(self, path, shortcut_id, trigger):
        session = self.session(path)
        for sid, props in session.shortcuts:
            if sid == shortcut_id:
                props["trigger_description"] = str(trigger)
        self.backend.ShortcutsChanged(dbus.ObjectPath(session.path),
                                      shortcut_list(session.shortcuts))

    @dbus.service.method(CONTROL_IFACE, out_signature="s")
    def State(self):
        return json.dumps([{"session": s.path, "app_id": s.app_id,
                            "shortcuts": [dict(props, id=sid) for sid, props in s.shortcuts]}
                           for s in self.backend.sessions.values()])


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    Backend(bus)
    # Owned only once everything is exported, so a test that sees the name can use it.
    name = dbus.service.BusName(BUS_NAME, bus, do_not_queue=True)
    print("fake portal backend ready", flush=True)
    GLib.MainLoop().run()
    del name


if __name__ == "__main__":
    sys.exit(main())
