#!/usr/bin/python3
'''Records the D-Bus messages the session layers read, as the wire carries them, into the seed
corpus of the dbus_replies fuzz target: logind (python3-dbusmock's logind template, as the
session tests run it) on a private bus answers the calls the layers make and sends the
signals they watch, while dbus-monitor captures every message. Run: fuzz/record_dbus_replies.py
'''

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

LOGIND = 'org.freedesktop.login1'
MANAGER = '/org/freedesktop/login1'
SESSION_PATH = MANAGER + '/session/c1'
SESSION = 'org.freedesktop.login1.Session'
MOCK = 'org.freedesktop.DBus.Mock'
# What the session layers read: the replies to their calls and the signals they watch.
KEPT = ('GetSession', 'GetSessionByPID', 'GetAll', 'Get', 'GetConnectionUnixProcessID', 'Lock', 'Unlock',
        'PropertiesChanged', 'PrepareForSleep', 'NameOwnerChanged')
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus', 'dbus_replies')


def busctl(address, *arguments):
    subprocess.run(['busctl', '--timeout=5', 'call', '--address=' + address, *arguments],
                   check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=15)


def header_fields(message):
    '''The message's type, serial and header fields {code: value} (little-endian messages).'''
    assert message[0:1] == b'l'
    kind = message[1]
    serial, length = struct.unpack_from('<II', message, 8)
    fields, at, end = {}, 16, 16 + length
    while at < end:
        code, size = message[at], message[at + 1]
        signature = message[at + 2:at + 2 + size].decode()
        at += 3 + size
        if signature in ('s', 'o'):
            at = (at + 3) & ~3
            (n,) = struct.unpack_from('<I', message, at)
            fields[code] = message[at + 4:at + 4 + n].decode()
            at += 5 + n
        elif signature == 'u':
            at = (at + 3) & ~3
            (fields[code],) = struct.unpack_from('<I', message, at)
            at += 4
        elif signature == 'g':
            n = message[at]
            fields[code] = message[at + 1:at + 1 + n].decode()
            at += 2 + n
        at = (at + 7) & ~7
    return kind, serial, fields


def main():
    folder = tempfile.mkdtemp(prefix='quorvel-dbus-record-')
    socket = folder + '/bus'
    address = 'unix:path=' + socket
    with open(folder + '/bus.conf', 'w') as config:
        config.write('<busconfig><type>custom</type><listen>' + address + '</listen><auth>EXTERNAL</auth>'
                     '<policy context="default"><allow send_destination="*" eavesdrop="true"/>'
                     '<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>\n')
    children = []
    try:
        daemon = subprocess.Popen(['dbus-daemon', '--nofork', '--nopidfile', '--config-file=' + folder + '/bus.conf',
                                   '--print-address=1'], stdout=subprocess.PIPE)
        children.append(daemon)
        daemon.stdout.readline()
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        logind = subprocess.Popen(['/usr/bin/python3', '-m', 'dbusmock', '--template', 'logind'], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        children.append(logind)
        for _ in range(150):
            probe = subprocess.run(['busctl', 'call', '--address=' + address, 'org.freedesktop.DBus', '/org/freedesktop/DBus',
                                    'org.freedesktop.DBus', 'NameHasOwner', 's', LOGIND], capture_output=True, text=True)
            if 'true' in probe.stdout:
                break
            time.sleep(0.1)
        busctl(address, LOGIND, MANAGER, MOCK, 'AddSession', 'ssusb', 'c1', 'seat0', str(os.getuid()), 'tester', 'true')
        busctl(address, LOGIND, MANAGER, MOCK, 'AddMethod', 'sssss', 'org.freedesktop.login1.Manager', 'GetSessionByPID',
               'u', 'o', "ret = dbus.ObjectPath('" + SESSION_PATH + "')")

        capture = open(folder + '/capture.pcap', 'wb')
        monitor = subprocess.Popen(['dbus-monitor', '--address', address, '--pcap'], stdout=capture)
        children.append(monitor)
        time.sleep(0.5)
        busctl(address, LOGIND, MANAGER, 'org.freedesktop.login1.Manager', 'GetSession', 's', 'c1')
        busctl(address, LOGIND, MANAGER + '/session/nosuch', 'org.freedesktop.DBus.Properties', 'GetAll', 's', SESSION)
        busctl(address, LOGIND, MANAGER, 'org.freedesktop.login1.Manager', 'GetSessionByPID', 'u', str(os.getpid()))
        busctl(address, LOGIND, SESSION_PATH, 'org.freedesktop.DBus.Properties', 'GetAll', 's', SESSION)
        busctl(address, LOGIND, SESSION_PATH, 'org.freedesktop.DBus.Properties', 'Get', 'ss', SESSION, 'LockedHint')
        busctl(address, 'org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
               'GetConnectionUnixProcessID', 's', LOGIND)
        busctl(address, LOGIND, SESSION_PATH, SESSION, 'SetLockedHint', 'b', 'true')
        for member in ('Lock', 'Unlock'):
            busctl(address, LOGIND, SESSION_PATH, MOCK, 'EmitSignal', 'sssav', SESSION, member, '', '0')
        busctl(address, LOGIND, MANAGER, MOCK, 'EmitSignal', 'sssav', 'org.freedesktop.login1.Manager',
               'PrepareForSleep', 'b', '1', 'b', 'true')
        logind.send_signal(signal.SIGTERM)  # the bus announces that logind left
        logind.wait(timeout=10)
        time.sleep(0.5)
        monitor.send_signal(signal.SIGTERM)
        monitor.wait(timeout=10)
        capture.close()

        with open(folder + '/capture.pcap', 'rb') as pcap:
            data = pcap.read()
        messages, at = [], 24
        while at + 16 <= len(data):
            (length,) = struct.unpack_from('<I', data, at + 8)
            messages.append(data[at + 16:at + 16 + length])
            at += 16 + length
        calls = {}
        shutil.rmtree(OUT, ignore_errors=True)
        os.makedirs(OUT)
        names = {1: 'call', 2: 'reply', 3: 'error', 4: 'signal'}
        written = 0
        for message in messages:
            kind, serial, fields = header_fields(message)
            if kind == 1:
                calls[(fields.get(7), serial)] = fields.get(3)  # (sender, serial) -> member
                continue
            member = fields.get(3) if kind == 4 else calls.get((fields.get(6), fields.get(5)))
            if member not in KEPT or (member == 'NameOwnerChanged' and LOGIND.encode() not in message):
                continue
            name = '%s-%s' % (names[kind], member)
            with open(os.path.join(OUT, name), 'wb') as out:
                out.write(message)
            written += 1
        print('%d messages recorded into %s' % (written, OUT))
    finally:
        for child in reversed(children):
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
