# The desktop's notification service as the tray tests play it, on the
# session bus named by DBUS_SESSION_BUS_ADDRESS. Each Notify call is
# appended to the file given as the argument, one line per call:
#   app_name|app_icon|summary|body|expire_timeout
# "ready" on standard output once the name is owned.
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

INTERFACE = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus, record_path):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.record_path = record_path
        self.last_id = 0

    @dbus.service.method(INTERFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout):
        self.last_id += 1
        with open(self.record_path, "a", encoding="utf-8") as record:
            record.write(f"{app_name}|{app_icon}|{summary}|{body}|{expire_timeout}\n")
        return self.last_id

    @dbus.service.method(INTERFACE, in_signature="u")
    def CloseNotification(self, notification_id):
        pass

    @dbus.service.method(INTERFACE, out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(INTERFACE, out_signature="ssss")
    def GetServerInformation(self):
        return ("fake", "talvik-tests", "1", "1.2")


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
session = dbus.SessionBus()
name = dbus.service.BusName(INTERFACE, session)
server = Notifications(session, sys.argv[1])
print("ready", flush=True)
GLib.MainLoop().run()
