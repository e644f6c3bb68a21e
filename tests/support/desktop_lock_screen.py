'''The desktop's lock screen, for tests (a python3-dbusmock template): it plays GNOME Shell's
as the session sees it. It owns what gnome-shell owns on the session bus, the screen shield
(org.gnome.Shell.ScreenShield, object /org/gnome/ScreenSaver) and Mutter's idle monitor
(org.gnome.Mutter.IdleMonitor), and, like a lock screen that follows logind, sets the
session's LockedHint 20 ms after logind's Lock or Unlock of the session (parameter "session").
Run by a program named gnome-shell from a folder only root can write (see SessionBuses), it
is taken for GNOME Shell's lock screen.

FollowUnlock(false) (interface org.freedesktop.DBus.Mock.LockScreen) makes it ignore Unlock,
as GNOME Shell does while its password dialog waits for a display manager that never answers.
'''

import dbus
import dbus.service
from gi.repository import GLib

BUS_NAME = 'org.gnome.Shell.ScreenShield'
MAIN_OBJ = '/org/gnome/ScreenSaver'
MAIN_IFACE = 'org.gnome.ScreenSaver'
SYSTEM_BUS = False
SESSION = 'org.freedesktop.login1.Session'
IDLE_MONITOR = 'org.gnome.Mutter.IdleMonitor'
CONTROL = 'org.freedesktop.DBus.Mock.LockScreen'


def load(mock, parameters):
    mock.locked = False
    mock.follows_unlock = True
    mock.AddMethods(MAIN_IFACE, [
        ('Lock', '', '', ''),
        ('GetActive', '', 'b', lambda self: dbus.Boolean(self.locked)),
        ('SetActive', 'b', '', ''),
        ('GetActiveTime', '', 'u', 'ret = dbus.UInt32(0)'),
    ])
    mock.AddMethod(CONTROL, 'FollowUnlock', 'b', '', lambda self, follows: setattr(self, 'follows_unlock', bool(follows)))

    mock.idle_monitor_name = dbus.service.BusName(IDLE_MONITOR, mock.connection, do_not_queue=True)
    mock.AddObject('/org/gnome/Mutter/IdleMonitor/Core', IDLE_MONITOR, {}, [
        ('ResetIdletime', '', '', ''),
        ('GetIdletime', '', 't', 'ret = dbus.UInt64(0)'),
    ])

    system = dbus.SystemBus(private=True)
    session = system.get_object('org.freedesktop.login1', parameters['session'], introspect=False)

    def follow(locked):
        mock.locked = locked
        session.SetLockedHint(dbus.Boolean(locked), dbus_interface=SESSION,
                              reply_handler=lambda: None, error_handler=lambda error: None)
        return False

    def heard(locked):
        if locked or mock.follows_unlock:
            GLib.timeout_add(20, follow, locked)

    for signal, locked in (('Lock', True), ('Unlock', False)):
        system.add_signal_receiver(lambda locked=locked: heard(locked),
                                   signal_name=signal, dbus_interface=SESSION, path=parameters['session'])
    mock.desktop_system_bus = system  # lives as long as the mock
