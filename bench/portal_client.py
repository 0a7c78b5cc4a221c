"""A bare GlobalShortcuts portal client, the peer of the latency figure: one session
with one shortcut, registered the way the helper does it. Prints "ready" once the
shortcut is bound, then "activated" or "deactivated" for each signal, at once.

Usage: /usr/bin/python3 portal_client.py TRIGGER SESSION_TOKEN"""

import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

PORTAL = "org.freedesktop.portal.Desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"


def main():
    trigger, token = sys.argv[1], sys.argv[2]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = dbus.Interface(bus.get_object(PORTAL, "/org/freedesktop/portal/desktop"), SHORTCUTS)
    shortcuts = dbus.Array([("ptt", {"description": "Push to talk", "preferred_trigger": trigger})],
                           signature="(sa{sv})")
    session = {}

    def on_response(code, results, path=None):
        if code != 0:
            print("refused", flush=True)
            sys.exit(1)
        if path.endswith("/create"):
            session["path"] = results["session_handle"]
            portal.BindShortcuts(session["path"], shortcuts, "", {"handle_token": "bind"})
        elif path.endswith("/bind"):
            print("ready", flush=True)

    def on_signal(session_path, shortcut, timestamp, options, member=None):
        if session_path == session.get("path"):
            print(member.lower(), flush=True)

    bus.add_signal_receiver(on_response, "Response", "org.freedesktop.portal.Request", path_keyword="path")
    for member in ("Activated", "Deactivated"):
        bus.add_signal_receiver(on_signal, member, SHORTCUTS, member_keyword="member")
    portal.CreateSession({"handle_token": "create", "session_handle_token": token, "shortcuts": shortcuts})
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
