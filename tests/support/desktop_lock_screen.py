'''The desktop's lock screen, for tests (a python3-dbusmock template).

It owns the screen-saver service on the session bus and, like a desktop whose lock screen
follows logind, shows itself when logind asks the session to lock and goes away when logind
asks it to unlock, setting the session's LockedHint a moment later each time.

Parameters: "session" (the logind session's object path) and "delay_ms".
'''

import dbus
from gi.repository import GLib

BUS_NAME = 'org.gnome.ScreenSaver'
MAIN_OBJ = '/org/gnome/ScreenSaver'
MAIN_IFACE = 'org.gnome.ScreenSaver'
SYSTEM_BUS = False

SESSION_IFACE = 'org.freedesktop.login1.Session'


def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [
        ('SimulateUserActivity', '', '', ''),
        ('GetActive', '', 'b', 'ret = False'),
    ])
    path = parameters.get('session')
    if not path:
        return
    delay = int(parameters.get('delay_ms', 20))
    system = dbus.SystemBus(private=True)
    session = system.get_object('org.freedesktop.login1', path, introspect=False)

    def set_hint(locked):
        session.SetLockedHint(dbus.Boolean(locked), dbus_interface=SESSION_IFACE,
                              reply_handler=lambda: None, error_handler=lambda error: None)
        return False

    system.add_signal_receiver(lambda: GLib.timeout_add(delay, set_hint, True),
                               signal_name='Lock', dbus_interface=SESSION_IFACE, path=path)
    system.add_signal_receiver(lambda: GLib.timeout_add(delay, set_hint, False),
                               signal_name='Unlock', dbus_interface=SESSION_IFACE, path=path)
    # Kept with the mock so that the connection lives as long as it.
    mock.desktop_system_bus = system
