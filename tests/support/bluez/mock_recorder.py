'''The recorder on BlueZ's bus, for tests, the bench and the demo.

Loaded with org.freedesktop.DBus.Mock.AddTemplate into python-dbusmock's "bluez5" template: adds
the adapter hci0, the recorder (its service with the rx, command and stream characteristics,
ATT MTU 247) and, on "/", the org.orvix.MockRecorder interface through which a test plays the
device's part. The template's Connect never resolves services, so the device's Connect and
Disconnect are replaced with ones that behave as BlueZ's do for an LE device.
'''

import socket
import time

import dbus
import dbus.lowlevel
import dbus.service
from gi.repository import GLib

from dbusmock import mockobject

BUS_NAME = 'org.bluez'
MAIN_OBJ = '/'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

CONTROL_IFACE = 'org.orvix.MockRecorder'
DEVICE_IFACE = 'org.bluez.Device1'
ADAPTER_IFACE = 'org.bluez.Adapter1'
SERVICE_IFACE = 'org.bluez.GattService1'
CHARACTERISTIC_IFACE = 'org.bluez.GattCharacteristic1'
OBJECT_MANAGER_IFACE = 'org.freedesktop.DBus.ObjectManager'

ADDRESS = 'C0:FF:EE:00:00:01'
NAME = 'Orvix K7'
SERVICE_UUID = '001120a0-2233-4455-6677-889912345678'
CHARACTERISTICS = {
    'rx': ('001120a2-2233-4455-6677-889912345678', ['write', 'write-without-response']),
    'command': ('001120a3-2233-4455-6677-889912345678', ['notify']),
    'stream': ('001120a4-2233-4455-6677-889912345678', ['notify']),
}


def objects():
    return mockobject.objects


def device_path():
    return '/org/bluez/hci0/dev_' + ADDRESS.replace(':', '_')


def characteristic_path(which):
    return device_path() + '/service0010/' + which


def close_sockets():
    '''BlueZ closes every acquired socket when the link ends.'''
    for which in CHARACTERISTICS:
        characteristic = objects()[characteristic_path(which)]
        for name in ('notify_socket', 'write_socket'):
            held = getattr(characteristic, name, None)
            if held is not None:
                held.close()
                setattr(characteristic, name, None)
        for flag in ('NotifyAcquired', 'WriteAcquired'):
            if flag in characteristic.props[CHARACTERISTIC_IFACE]:
                characteristic.props[CHARACTERISTIC_IFACE][flag] = dbus.Boolean(False)


OFFERING_SOCKETS = [True]


def refuse_socket_unless_offered():
    if not OFFERING_SOCKETS[0]:
        raise dbus.exceptions.DBusException('Not permitted', name='org.bluez.Error.NotPermitted')


def acquire_notify(characteristic, _options):
    refuse_socket_unless_offered()
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    characteristic.notify_socket = ours
    characteristic.props[CHARACTERISTIC_IFACE]['NotifyAcquired'] = dbus.Boolean(True)
    handed = dbus.types.UnixFd(theirs)
    theirs.close()
    return (handed, dbus.UInt16(247))


def acquire_write(characteristic, _options):
    refuse_socket_unless_offered()
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    characteristic.write_socket = ours

    def received(_fd, condition):
        if condition & GLib.IO_IN:
            try:
                packet = ours.recv(4096)
            except OSError:
                packet = b''
            if packet:
                record_write(characteristic, packet, 'command')
                return True
        return False

    GLib.io_add_watch(ours.fileno(), GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, received)
    characteristic.props[CHARACTERISTIC_IFACE]['WriteAcquired'] = dbus.Boolean(True)
    handed = dbus.types.UnixFd(theirs)
    theirs.close()
    return (handed, dbus.UInt16(247))


def record_write(characteristic, value, kind):
    characteristic.writes.append((bytes(value), kind))
    if len(characteristic.writes) > 65536:
        del characteristic.writes[0]


def send_value(characteristic, value):
    '''One notification: on the acquired socket when there is one, else as a Value change.'''
    held = getattr(characteristic, 'notify_socket', None)
    if held is not None:
        held.send(bytes(value))
        return
    characteristic.props[CHARACTERISTIC_IFACE]['Value'] = value
    # Sent as the mock's EmitSignal sends it, without its log line per signal, so that a burst
    # measures the bus and the binding rather than the mock's logging.
    signal = dbus.lowlevel.SignalMessage(characteristic.path, 'org.freedesktop.DBus.Properties',
                                         'PropertiesChanged')
    signal.append(CHARACTERISTIC_IFACE, {'Value': value}, dbus.Array([], signature='s'),
                  signature='sa{sv}as')
    for location in characteristic.locations:
        location[0].send_message(signal)


def set_link(connected):
    device = objects()[device_path()]
    device.UpdateProperties(DEVICE_IFACE, {
        'Connected': dbus.Boolean(connected),
        'ServicesResolved': dbus.Boolean(connected),
    })
    if not connected:
        close_sockets()
        for which in CHARACTERISTICS:
            characteristic = objects()[characteristic_path(which)]
            if characteristic.props[CHARACTERISTIC_IFACE]['Notifying']:
                characteristic.UpdateProperties(CHARACTERISTIC_IFACE,
                                                {'Notifying': dbus.Boolean(False)})


def connect(device):
    if device.props[DEVICE_IFACE]['Connected']:
        raise dbus.exceptions.DBusException('Already Connected',
                                            name='org.bluez.Error.AlreadyConnected')
    if device.refuse_connections:
        raise dbus.exceptions.DBusException('Page Timeout', name='org.bluez.Error.Failed')
    set_link(True)


def disconnect(device):
    if not device.props[DEVICE_IFACE]['Connected']:
        raise dbus.exceptions.DBusException('Not Connected', name='org.bluez.Error.NotConnected')
    set_link(False)


def start_notify(characteristic):
    characteristic.UpdateProperties(CHARACTERISTIC_IFACE, {'Notifying': dbus.Boolean(True)})


def stop_notify(characteristic):
    characteristic.UpdateProperties(CHARACTERISTIC_IFACE, {'Notifying': dbus.Boolean(False)})


def write_value(characteristic, value, options):
    record_write(characteristic, value, str(options.get('type', 'request')))


def add_gatt_object(mock, path, interface, properties, methods):
    mock.AddObject(path, interface, properties, methods)
    mock.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                    [dbus.ObjectPath(path), {interface: properties}])


def load(mock, _parameters):
    mock.AddAdapter('hci0', 'orvix-test')
    # BlueZ 5.64 and later also say how the power stands (rfkill, transitions).
    objects()['/org/bluez/hci0'].props[ADAPTER_IFACE]['PowerState'] = dbus.String('on')
    path = mock.AddDevice('hci0', ADDRESS, NAME)
    device = objects()[path]
    device.refuse_connections = False
    device.props[DEVICE_IFACE]['UUIDs'] = dbus.Array([SERVICE_UUID], signature='s')
    device.props[DEVICE_IFACE]['RSSI'] = dbus.Int16(-60)
    device.AddMethods(DEVICE_IFACE, [('Connect', '', '', connect),
                                     ('Disconnect', '', '', disconnect)])

    service = device_path() + '/service0010'
    add_gatt_object(mock, service, SERVICE_IFACE, {
        'UUID': dbus.String(SERVICE_UUID),
        'Device': dbus.ObjectPath(device_path()),
        'Primary': dbus.Boolean(True),
    }, [])
    for which, (uuid, flags) in CHARACTERISTICS.items():
        characteristic = characteristic_path(which)
        properties = {
            'UUID': dbus.String(uuid),
            'Service': dbus.ObjectPath(service),
            'Value': dbus.Array([], signature='y'),
            'Notifying': dbus.Boolean(False),
            'Flags': dbus.Array(flags, signature='s'),
            'MTU': dbus.UInt16(247),
        }
        methods = [
            ('StartNotify', '', '', start_notify),
            ('StopNotify', '', '', stop_notify),
            ('WriteValue', 'aya{sv}', '', write_value),
            ('ReadValue', 'a{sv}', 'ay', 'ret = self.props[CHARACTERISTIC_IFACE]["Value"]'),
        ]
        if which == 'stream':
            properties['NotifyAcquired'] = dbus.Boolean(False)
            methods.append(('AcquireNotify', 'a{sv}', 'hq', acquire_notify))
        if which == 'rx':
            properties['WriteAcquired'] = dbus.Boolean(False)
            methods.append(('AcquireWrite', 'a{sv}', 'hq', acquire_write))
        add_gatt_object(mock, characteristic, CHARACTERISTIC_IFACE, properties, methods)
        objects()[characteristic].writes = []


@dbus.service.method(CONTROL_IFACE, in_signature='n', out_signature='')
def Advertise(_self, rssi):
    '''The recorder advertises once, heard at `rssi` dBm.'''
    objects()[device_path()].UpdateProperties(DEVICE_IFACE, {'RSSI': dbus.Int16(rssi)})


@dbus.service.method(CONTROL_IFACE, in_signature='say', out_signature='')
def Notify(_self, which, value):
    '''One notification of `value` on the characteristic `which` (command or stream).'''
    send_value(objects()[characteristic_path(which)], dbus.Array(value, signature='y'))


@dbus.service.method(CONTROL_IFACE, in_signature='suu', out_signature='ad')
def NotifyBurst(_self, which, count, size):
    '''`count` notifications of `size` bytes each, back to back, the bytes counting on from one
    packet to the next; answers the CLOCK_MONOTONIC time at which each was sent.'''
    characteristic = objects()[characteristic_path(which)]
    sent = []
    counting = bytes(range(256)) * (size // 256 + 2)
    values = [dbus.ByteArray(counting[(p * size) % 256:(p * size) % 256 + size])
              for p in range(count)]
    for value in values:
        sent.append(time.monotonic())
        send_value(characteristic, value)
    return dbus.Array(sent, signature='d')


@dbus.service.method(CONTROL_IFACE, in_signature='s', out_signature='')
def NotifyMalformed(_self, kind):
    '''A change no BlueZ sends: a command "Value" as text or of 5,000 bytes, or the device's
    "Connected" as text.'''
    if kind == 'connected-text':
        path, interface, changed = device_path(), DEVICE_IFACE, {'Connected': dbus.String('no')}
    else:
        value = dbus.String('not bytes') if kind == 'text' else dbus.ByteArray(bytes(5000))
        path, interface, changed = characteristic_path('command'), CHARACTERISTIC_IFACE, {'Value': value}
    objects()[path].EmitSignal('org.freedesktop.DBus.Properties', 'PropertiesChanged',
                               'sa{sv}as', [interface, changed, []])


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='')
def DropLink(_self):
    '''The link to the recorder is lost (out of range, battery).'''
    set_link(False)


@dbus.service.method(CONTROL_IFACE, in_signature='b', out_signature='')
def RefuseConnections(_self, refuse):
    objects()[device_path()].refuse_connections = bool(refuse)


@dbus.service.method(CONTROL_IFACE, in_signature='b', out_signature='')
def OfferSockets(_self, offer):
    '''Whether AcquireNotify and AcquireWrite hand out sockets or refuse (NotPermitted).'''
    OFFERING_SOCKETS[0] = bool(offer)


@dbus.service.method(CONTROL_IFACE, in_signature='b', out_signature='')
def SetPowered(_self, powered):
    '''The adapter is switched on or off; off ends the link, as BlueZ does.'''
    if not powered and objects()[device_path()].props[DEVICE_IFACE]['Connected']:
        set_link(False)
    objects()['/org/bluez/hci0'].UpdateProperties(ADAPTER_IFACE, {
        'Powered': dbus.Boolean(powered),
        'PowerState': dbus.String('on' if powered else 'off'),
    })


@dbus.service.method(CONTROL_IFACE, in_signature='s', out_signature='')
def SetPowerState(_self, state):
    '''Only "PowerState" changes: "off-blocked" (rfkill), "off-enabling", "on-disabling"...'''
    objects()['/org/bluez/hci0'].UpdateProperties(ADAPTER_IFACE,
                                                  {'PowerState': dbus.String(state)})


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='a(ays)')
def Writes(_self):
    '''What was written to the rx characteristic: the bytes and the write type of each.'''
    rx = objects()[characteristic_path('rx')]
    return dbus.Array([dbus.Struct((dbus.ByteArray(value), kind), signature='ays')
                       for value, kind in rx.writes], signature='(ays)')
