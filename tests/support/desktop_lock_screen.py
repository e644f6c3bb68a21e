'''The desktop's lock screen, for tests (a python3-dbusmock template): it owns the screen-saver
service on the session bus and, like a desktop whose lock screen follows logind, sets the
session's LockedHint 20 ms after logind's Lock or Unlock of the session (parameter "session").
'''

import dbus
from gi.repository import GLib

BUS_NAME = 'org.gnome.ScreenSaver'
MAIN_OBJ = '/org/gnome/ScreenSaver'
MAIN_IFACE = 'org.gnome.ScreenSaver'
SYSTEM_BUS = False
SESSION = 'org.freedesktop.login1.Session'


def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [('SimulateUserActivity', '', '', ''), ('GetActive', '', 'b', 'ret = False')])
    system = dbus.SystemBus(private=True)
    session = system.get_object('org.freedesktop.login1', parameters['session'], introspect=False)

    def follow(locked):
        session.SetLockedHint(dbus.Boolean(locked), dbus_interface=SESSION,
                              reply_handler=lambda: None, error_handler=lambda error: None)
        return False

    for signal, locked in (('Lock', True), ('Unlock', False)):
        system.add_signal_receiver(lambda locked=locked: GLib.timeout_add(20, follow, locked),
                                   signal_name=signal, dbus_interface=SESSION, path=parameters['session'])
    mock.desktop_system_bus = system  # lives as long as the mock
