'''The recorder as bluetoothd 5.66 presents it, added to python-dbusmock's "bluez5" by AddTemplate,
whose parameter mtu_property (b, default true) puts "MTU" on the characteristics as BlueZ 5.62 and
later do. CONTROL, on "/", lets a test act as the recorder; handlers name bluetoothd's functions.'''

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

ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
CHARACTERISTIC_IFACE = 'org.bluez.GattCharacteristic1'
ADAPTER_PATH = '/org/bluez/hci0'
ADDRESS = 'C0:FF:EE:00:00:01'
NAME = 'Orvix K7'
DEVICE_PATH = ADAPTER_PATH + '/dev_' + ADDRESS.replace(':', '_')
SERVICE_PATH = DEVICE_PATH + '/service0010'
UUID = '001120%s-2233-4455-6677-889912345678'
SERVICE_UUID = UUID % 'a0'
ATT_MTU = 247

# Shortened where the kernel or the radio take seconds.
START_DISCOVERY_DELAY = 0.030    # MGMT Start Discovery confirmed
STOP_DISCOVERY_DELAY = 0.080     # MGMT Stop Discovery confirmed
LINK_UP_DELAY = 0.040            # LE connection and ATT channel up
CONNECT_ABORT_DELAY = 0.100      # the kernel giving up on an unreachable device
SERVICES_RESOLVED_DELAY = 0.050  # GATT discovery, or the cache read, after the link is up
DISCONNECT_TIMER = 2.0           # device.c DISCONNECT_TIMER: Disconnect keeps the link this long
CCC_WRITE_DELAY = 0.005          # the CCC descriptor written for StartNotify and AcquireNotify
ATT_RESPONSE_DELAY = 0.005       # the recorder's Write Response
RSSI_THRESHOLD = 8               # device.c: smaller RSSI changes go unreported

BUSY = ('InProgress', 'Operation already in progress')   # btd_error_busy(), for discovery
IN_PROGRESS = ('InProgress', 'In Progress')                # btd_error_in_progress(), for GATT
NOT_READY = ('NotReady', 'Resource Not Ready')
NO_LINK = ('Failed', 'Not connected')                      # GATT calls without a link

# AddTemplate's parameter, the recorder out of reach (RefuseConnections: each Connect given up on)
# and main.conf's TemporaryTimeout.
SETTINGS = {'mtu_property': True, 'refuse_connections': False, 'temporary_timeout': 30.0}
CALLS = []    # [method, path, error, detail] in the order the calls came
WRITES = []   # what reached rx: (bytes, "request" or "command")
TIMERS = {}   # name -> GLib source of a running bluetoothd timeout
objects = mockobject.objects


def error(name, message):
    return dbus.exceptions.DBusException(message, name='org.bluez.Error.' + name)


def check(refused, refusal):
    if refused:
        raise error(*refusal)


class Request:
    '''A BlueZ call, answered now or later as bluetoothd answers it, and recorded in CALLS.'''

    def __init__(self, method, path, sender, reply, fail):
        self.sender, self._reply, self._fail = sender, reply, fail
        self.entry = [method, path, '(pending)', '']
        CALLS.append(self.entry)

    def succeed(self, *values):
        if self._reply is not None:
            self.entry[2] = ''
            self._reply(*values)
            self._reply = self._fail = None

    def fail(self, refusal):
        if self._fail is not None:
            self.entry[2] = refusal.get_dbus_name()
            self._fail(refusal)
            self._reply = self._fail = None


def serve(obj, interface, name, in_signature, out_signature, handler):
    # handler(request, *args) may answer later, and knows the sender bluetoothd keeps sessions of.
    def method(self, *args, sender, reply, fail):
        request = Request(name, self.path, sender, reply, fail)
        try:
            handler(request, *args)
        except dbus.exceptions.DBusException as refusal:
            request.fail(refusal)
    method.__name__ = name
    exported = dbus.service.method(interface, out_signature=out_signature,
                                   byte_arrays=True)(method)
    exported._dbus_in_signature = in_signature
    exported._dbus_args = ['arg%d' % i for i in range(len(list(dbus.Signature(in_signature))))]
    exported._dbus_async_callbacks = ('reply', 'fail')
    exported._dbus_sender_keyword = 'sender'
    obj.methods.setdefault(interface, {})[name] = (in_signature, out_signature, '', exported)


def add_object(path, interface, properties, methods):
    objects['/'].AddObject(path, interface, properties, [])
    for method in methods:
        serve(objects[path], interface, *method)
    objects['/'].object_manager_emit_added(path)


def remove_object(path):
    if path in objects:
        objects['/'].object_manager_emit_removed(path)
        objects['/'].RemoveObject(path)


def set_properties(path, interface, changed, invalidated=(), store=True):
    # One signal for what changes together, as gdbus sends it; unlogged, so bursts measure the bus.
    if store:
        properties = objects[path].props[interface]
        properties.update(changed)
        for name in invalidated:
            properties.pop(name, None)
    signal = dbus.lowlevel.SignalMessage(path, dbus.PROPERTIES_IFACE, 'PropertiesChanged')
    signal.append(interface, dbus.Dictionary(changed, signature='sv'),
                  dbus.Array(invalidated, signature='s'), signature='sa{sv}as')
    objects['/'].connection.send_message(signal)


def after(seconds, function, name=None):
    # A bluetoothd timeout; a named one started again starts over.
    def fire():
        TIMERS.pop(name, None)
        function()
        return False
    stop_timer(name)
    source = GLib.timeout_add(round(seconds * 1000), fire)
    if name:
        TIMERS[name] = source


def stop_timer(name):
    if name in TIMERS:
        GLib.source_remove(TIMERS.pop(name))


class Session:   # struct discovery_client; pending: its Start or StopDiscovery with the kernel
    pending = None


class Adapter:
    '''hci0 and its discoveries, one per client (adapter.c).'''

    def __init__(self):
        self.powered, self.discovering = True, False
        self.sessions = {}   # owner -> Session: adapter->discovery_list
        self.filters = {}    # owner -> SetDiscoveryFilter's entries, kept across its discoveries

    def set_discovering(self, discovering):
        if self.discovering != discovering:
            self.discovering = discovering
            set_properties(ADAPTER_PATH, ADAPTER_IFACE, {'Discovering': dbus.Boolean(discovering)})

    def start_discovery(self, request):
        # start_discovery(): answered once the kernel started, at once if it already scans.
        check(not self.powered, NOT_READY)
        owner = request.sender
        check(owner in self.sessions, BUSY)   # also while its stop is still with the kernel
        session = self.sessions[owner] = Session()
        session.pending = request

        def started():   # start_discovery_complete(): the reply, then "Discovering"
            if self.sessions.get(owner) is session and session.pending is request:
                session.pending = None
                request.succeed()
                self.set_discovering(True)
        after(0 if self.discovering else START_DISCOVERY_DELAY, started)

    def stop_discovery(self, request):
        check(not self.powered, NOT_READY)
        session = self.sessions.get(request.sender)
        check(session is None, ('Failed', 'No discovery started'))
        check(session.pending, BUSY)
        self.end_session(request.sender, request)

    def end_session(self, owner, request=None):
        # discovery_stop(): the last session stays until the kernel stopped, others end at once.
        def stopped():
            if self.sessions.get(owner) is session:
                del self.sessions[owner]
                if request is not None:
                    request.succeed()
                if not self.sessions:
                    RECORDER.discovery_cleanup()
                    self.set_discovering(False)
        session = self.sessions[owner]
        session.pending = request
        after(0 if len(self.sessions) > 1 else STOP_DISCOVERY_DELAY, stopped)

    def set_discovery_filter(self, request, entries):
        # set_discovery_filter(); recorded as "Transport=le,DuplicateData=true,RSSI=-127".
        check(not self.powered, NOT_READY)
        request.entry[3] = ','.join('%s=%s' % (key, ('true' if value else 'false') if isinstance(
            value, dbus.Boolean) else value) for key, value in entries.items())
        self.filters[request.sender] = dict(entries)
        request.succeed()

    def client_left(self, owner):
        # The disconnect watches: discovery_disconnect() and notify_client_disconnect().
        self.filters.pop(owner, None)
        if owner in self.sessions:
            self.end_session(owner)   # its pending call has nobody left to answer
        for characteristic in CHARACTERISTICS.values():
            if characteristic.sessions.pop(owner, None) is not None:
                characteristic.update_notifying()

    def power(self, powered):
        # adapter_stop() when off: discovery calls refused, sessions and link ended; on, nothing.
        if powered == self.powered:
            return
        self.powered = powered
        changed = {'Powered': dbus.Boolean(powered),
                   'PowerState': dbus.String('on' if powered else 'off')}
        if not powered:
            for session in self.sessions.values():
                if session.pending is not None:
                    session.pending.fail(error(*BUSY))
            self.sessions.clear()
            self.filters.clear()
            RECORDER.discovery_cleanup()
            if self.discovering:
                self.discovering, changed['Discovering'] = False, dbus.Boolean(False)
            if RECORDER.link == 'connecting':
                RECORDER.end_connecting('le-connection-abort-by-local')
            RECORDER.drop_link()
        set_properties(ADAPTER_PATH, ADAPTER_IFACE, changed)


class Device:
    '''The recorder's device object and link (adapter.c update_found_devices(), device.c).'''

    def __init__(self):
        # Temporary until connected to; rssi the last one reported, 0 for none.
        self.exists = self.gatt_exported = False
        self.temporary, self.rssi, self.link = True, 0, 'down'   # or 'connecting', 'up'
        self.connect_request, self.disconnect_requests = None, []

    def advertise(self, rssi):
        '''Heard only while discovering; device_set_rssi_with_delta() reports each RSSI while a
        discovering client has a filter, else changes of RSSI_THRESHOLD.'''
        if not ADAPTER.discovering:
            return False
        filtered = any(ADAPTER.filters.get(owner) for owner in ADAPTER.sessions)
        if not self.exists:
            self.create(rssi)
        elif filtered or not self.rssi or abs(rssi - self.rssi) >= RSSI_THRESHOLD:
            self.rssi = rssi
            set_properties(DEVICE_PATH, DEVICE_IFACE, {'RSSI': dbus.Int16(rssi)})
        self.last_seen()
        return True

    def advertise_every(self, interval_ms, rssi):
        # As a device's radio would, heard only while discovering; 0 stops.
        def again():
            self.advertise(rssi)
            after(interval_ms / 1000, again, 'advertising')
        stop_timer('advertising')
        if interval_ms:
            again()

    def create(self, rssi):   # adapter_create_device(), with what the advertisement told
        self.exists, self.rssi = True, rssi
        properties = {
            'Address': dbus.String(ADDRESS), 'AddressType': dbus.String('random'),
            'Name': dbus.String(NAME), 'Alias': dbus.String(NAME), 'Paired': dbus.Boolean(False),
            'Connected': dbus.Boolean(False), 'ServicesResolved': dbus.Boolean(False),
            'UUIDs': dbus.Array([SERVICE_UUID], signature='s'), 'RSSI': dbus.Int16(rssi),
            'Adapter': dbus.ObjectPath(ADAPTER_PATH)}
        add_object(DEVICE_PATH, DEVICE_IFACE, properties,
                   [('Connect', '', '', self.connect), ('Disconnect', '', '', self.disconnect)])

    def last_seen(self):
        # device_update_last_seen(): never connected to, it goes TemporaryTimeout after heard.
        def disappeared():
            for characteristic in CHARACTERISTICS.values():
                characteristic.sessions, characteristic.notifying = {}, False
                remove_object(characteristic.path)
            remove_object(SERVICE_PATH)
            remove_object(DEVICE_PATH)
            self.exists, self.gatt_exported, self.rssi = False, False, 0
        if self.temporary:
            after(SETTINGS['temporary_timeout'], disappeared, 'temporary')

    def set_temporary_timeout(self, timeout_ms):
        SETTINGS['temporary_timeout'] = timeout_ms / 1000
        if 'temporary' in TIMERS:
            self.last_seen()   # starts over with the new timeout

    def discovery_cleanup(self):
        # discovery_cleanup(): the RSSI of the devices found goes invalid.
        if self.exists and self.rssi:
            self.rssi = 0
            set_properties(DEVICE_PATH, DEVICE_IFACE, {}, ['RSSI'])

    def connect(self, request):
        # dev_connect(): answered by att_connect_cb(), before gdbus's idle "Connected".
        if self.link == 'up':
            request.succeed()   # also while a Disconnect waits: the link goes down regardless
            return
        self.temporary = False   # btd_device_set_temporary()
        stop_timer('temporary')
        check(self.link == 'connecting', ('Failed', 'le-connection-already-connected'))
        check(not ADAPTER.powered, ('Failed', 'le-connection-create-socket'))
        self.link, self.connect_request = 'connecting', request

        def link_up():   # or the kernel gives up on a device out of reach
            if SETTINGS['refuse_connections']:
                self.end_connecting('le-connection-abort-by-local')
                return
            self.link, self.connect_request = 'up', None
            request.succeed()
            set_properties(DEVICE_PATH, DEVICE_IFACE, {'Connected': dbus.Boolean(True)})
            after(SERVICES_RESOLVED_DELAY, self.services_resolved, 'resolve')
        after(CONNECT_ABORT_DELAY if SETTINGS['refuse_connections'] else LINK_UP_DELAY, link_up,
              'link')

    def end_connecting(self, reason):
        stop_timer('link')
        self.link = 'down'
        self.connect_request.fail(error('Failed', reason))
        self.connect_request = None

    def services_resolved(self):
        # gatt_client_ready_cb(): the GATT objects (from the first link on), sessions registered.
        if not self.gatt_exported:
            self.gatt_exported = True
            add_object(SERVICE_PATH, 'org.bluez.GattService1', {
                'UUID': dbus.String(SERVICE_UUID), 'Device': dbus.ObjectPath(DEVICE_PATH),
                'Primary': dbus.Boolean(True), 'Includes': dbus.Array([], signature='o')}, [])
            for characteristic in CHARACTERISTICS.values():
                characteristic.export()
        for characteristic in CHARACTERISTICS.values():
            for owner, registered in list(characteristic.sessions.items()):
                if not registered:
                    characteristic.register_notify(owner)
        set_properties(DEVICE_PATH, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(True)})

    def disconnect(self, request):
        # device_request_disconnect(): each Disconnect is answered once the link is down.
        if self.link == 'connecting':
            self.end_connecting('br-connection-canceled')
        if self.link != 'up':
            request.succeed()
            return
        self.disconnect_requests.append(request)
        if 'disconnect' not in TIMERS:
            after(DISCONNECT_TIMER, self.drop_link, 'disconnect')

    def drop_link(self):
        '''btd_gatt_client_disconnected() leaves "Notifying"; device_remove_connection() answers
        the Disconnects, then "ServicesResolved" and "Connected" go false in one signal.'''
        if self.link != 'up':
            return
        stop_timer('disconnect')
        stop_timer('resolve')
        self.link = 'down'
        for characteristic in CHARACTERISTICS.values():
            characteristic.link_lost()
        for request in self.disconnect_requests:
            request.succeed()
        self.disconnect_requests = []
        set_properties(DEVICE_PATH, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(False),
                                                   'Connected': dbus.Boolean(False)})


class Acquired:
    # struct sock_io on create_sock()'s pair: sock_read() takes packets, sock_hup() the close.

    def __init__(self, owner, received, hung_up):
        self.owner = owner
        self.socket, self.theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.socket.setblocking(False)
        self.theirs.setblocking(False)

        def ready(_fd, condition):
            try:
                packet = self.socket.recv(4096) if condition & GLib.IO_IN else b''
            except OSError:
                packet = b''
            if packet:
                received(packet)
                return True
            self.watch = 0
            hung_up()
            return False
        self.watch = GLib.io_add_watch(self.socket.fileno(),
                                       GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, ready)

    def hand_out(self, request):
        # Not kept here, or the client's end could never close.
        request.succeed(dbus.types.UnixFd(self.theirs), dbus.UInt16(ATT_MTU))
        self.theirs.close()

    def close(self):
        if self.watch:
            GLib.source_remove(self.watch)
        self.socket.close()
        self.theirs.close()


class Characteristic:
    # gatt-client.c; bluetoothd names the object after the declaration handle.

    def __init__(self, handle, uuid, flags):
        self.uuid, self.flags = uuid, flags
        self.path = '%s/char%04x' % (SERVICE_PATH, handle)
        self.sessions = {}   # owner -> registered with the recorder (notify_clients)
        self.notifying = self.writing = False
        self.io = {'Notify': None, 'Write': None}   # the acquired sockets

    def export(self):
        properties = {'UUID': dbus.String(self.uuid), 'Service': dbus.ObjectPath(SERVICE_PATH),
                      'Flags': dbus.Array(self.flags, signature='s')}
        if 'notify' in self.flags:
            properties['Notifying'] = properties['NotifyAcquired'] = dbus.Boolean(False)
        if 'write-without-response' in self.flags:
            properties['WriteAcquired'] = dbus.Boolean(False)
        if SETTINGS['mtu_property']:
            properties['MTU'] = dbus.UInt16(ATT_MTU)
        add_object(self.path, CHARACTERISTIC_IFACE, properties, [
            ('WriteValue', 'aya{sv}', '', self.write_value),
            ('StartNotify', '', '', self.start_notify),
            ('StopNotify', '', '', self.stop_notify),
            ('AcquireWrite', 'a{sv}', 'hq', self.acquire_write),
            ('AcquireNotify', 'a{sv}', 'hq', self.acquire_notify)])

    def announce(self, name, value):
        set_properties(self.path, CHARACTERISTIC_IFACE, {name: dbus.Boolean(value)})

    def update_notifying(self):
        # update_notifying(): "Notifying" while any session is registered with the recorder.
        if self.notifying != any(self.sessions.values()):
            self.notifying = not self.notifying
            self.announce('Notifying', self.notifying)

    def release(self, kind):
        # destroy_sock(): an acquired notify socket takes its session with it.
        acquired, self.io[kind] = self.io[kind], None
        if acquired is not None:
            acquired.close()
            if kind == 'Notify':
                self.sessions.pop(acquired.owner, None)
            self.announce(kind + 'Acquired', False)

    def link_lost(self):
        # btd_gatt_client_disconnected(): sockets shut, sessions unregistered, "Notifying" kept.
        for kind in self.io:
            self.release(kind)
        self.sessions = dict.fromkeys(self.sessions, False)
        self.writing = False

    def register_notify(self, owner, request=None):
        # bt_gatt_client_register_notify(): the CCC written unless enabled, the reply, "Notifying".
        def written():
            if request is not None:
                request.succeed()
            if RECORDER.link == 'up':
                self.update_notifying()
        after(0 if any(self.sessions.values()) else CCC_WRITE_DELAY, written)
        self.sessions[owner] = True

    def start_notify(self, request):
        # characteristic_start_notify(): without a link, registered once the services resolve.
        check('disconnect' in TIMERS, ('NotConnected', 'Not Connected'))
        check(self.io['Notify'], ('NotPermitted', 'Notify acquired'))
        owner = request.sender
        if owner in self.sessions:
            check(not self.sessions[owner], IN_PROGRESS)
            request.succeed()
        elif RECORDER.link != 'up':
            self.sessions[owner] = False
            request.succeed()
        else:
            self.register_notify(owner, request)

    def stop_notify(self, request):
        # characteristic_stop_notify(): answered at once, connected or not.
        if self.io['Notify']:
            self.release('Notify')
        else:
            check(self.sessions.pop(request.sender, None) is None,
                  ('Failed', 'No notify session started'))
            self.update_notifying()
        request.succeed()

    def acquire_notify(self, request, _options):
        # characteristic_acquire_notify(): the socket once the CCC is written; "Notifying" stays.
        check(RECORDER.link != 'up', NO_LINK)
        check(self.io['Notify'], ('NotPermitted', 'Notify acquired'))
        check(self.sessions, IN_PROGRESS)
        acquired = Acquired(request.sender, lambda _packet: None, lambda: self.release('Notify'))
        self.io['Notify'], self.sessions[request.sender] = acquired, True

        def written():
            if self.io['Notify'] is not acquired:   # the link went meanwhile
                request.fail(error(*NO_LINK))
                return
            acquired.hand_out(request)
            self.announce('NotifyAcquired', True)
        after(CCC_WRITE_DELAY, written)

    def acquire_write(self, request, _options):
        # characteristic_acquire_write(): packets on the socket go out as Write Commands.
        check(RECORDER.link != 'up', NO_LINK)
        check(self.io['Write'], ('NotPermitted', 'Write acquired'))
        self.io['Write'] = Acquired(request.sender, lambda data: WRITES.append((data, 'command')),
                                    lambda: self.release('Write'))
        self.io['Write'].hand_out(request)
        self.announce('WriteAcquired', True)

    def write_value(self, request, value, options):
        # characteristic_write_value(): a Write Request waits for the recorder's response.
        check(RECORDER.link != 'up', NO_LINK)
        check(self.io['Write'], ('NotPermitted', 'Write acquired'))
        check(self.writing, IN_PROGRESS)
        kind = str(options.get('type', 'request' if 'write' in self.flags else 'command'))
        if kind == 'command' and 'write-without-response' in self.flags:
            WRITES.append((bytes(value), 'command'))
            request.succeed()
            return
        check(kind != 'request' or 'write' not in self.flags,
              ('NotSupported', 'Operation is not supported'))
        self.writing = True

        def answered():
            if not self.writing:   # the link went meanwhile
                request.fail(error('Failed', 'Operation failed'))
                return
            self.writing = False
            WRITES.append((bytes(value), 'request'))
            request.succeed()
        after(ATT_RESPONSE_DELAY, answered)

    def deliver(self, value):
        # notify_io_cb() drops it when the socket is full; else notify_cb() reports "Value".
        if RECORDER.link != 'up':
            return
        if self.io['Notify']:
            try:
                self.io['Notify'].socket.send(value)
            except OSError:
                pass
        elif any(self.sessions.values()):
            set_properties(self.path, CHARACTERISTIC_IFACE, {'Value': dbus.ByteArray(value)},
                           store=False)

    def burst(self, count, size):
        # Back to back, the bytes counting on from one packet to the next.
        counting = bytes(range(256)) * (size // 256 + 2)
        sent = []
        for packet in range(count):
            sent.append(time.monotonic())
            self.deliver(counting[packet * size % 256:][:size])
        return dbus.Array(sent, signature='d')


ADAPTER = Adapter()
RECORDER = Device()
CHARACTERISTICS = {
    'rx': Characteristic(0x0011, UUID % 'a2', ['write', 'write-without-response']),
    'command': Characteristic(0x0013, UUID % 'a3', ['notify']),
    'stream': Characteristic(0x0016, UUID % 'a4', ['notify']),
}


def notify_malformed(kind):
    # What no BlueZ sends: a command "Value" as text or of 5,000 bytes, "Connected" as text.
    if kind == 'connected-text':
        set_properties(DEVICE_PATH, DEVICE_IFACE, {'Connected': dbus.String('no')}, store=False)
    else:
        value = dbus.String('not bytes') if kind == 'text' else dbus.ByteArray(bytes(5000))
        set_properties(CHARACTERISTICS['command'].path, CHARACTERISTIC_IFACE, {'Value': value},
                       store=False)


# org.orvix.MockRecorder: name -> (in, out, function of the arguments). The times answered are
# CLOCK_MONOTONIC's, one for each notification sent.
CONTROL = {
    'Advertise': ('n', 'b', lambda rssi: dbus.Boolean(RECORDER.advertise(rssi))),
    'AdvertiseEvery': ('un', '', RECORDER.advertise_every),
    'SetTemporaryTimeout': ('u', '', RECORDER.set_temporary_timeout),
    'Discovering': ('', 'b', lambda: dbus.Boolean(ADAPTER.discovering)),
    'Notify': ('say', '', lambda which, value: CHARACTERISTICS[which].deliver(bytes(value))),
    'NotifyBurst': ('suu', 'ad', lambda which, *sizes: CHARACTERISTICS[which].burst(*sizes)),
    'NotifyMalformed': ('s', '', notify_malformed),
    'DropLink': ('', '', RECORDER.drop_link),   # out of range or out of battery
    'RefuseConnections': ('b', '', lambda refuse: SETTINGS.update(refuse_connections=refuse)),
    'SetPowered': ('b', '', ADAPTER.power),
    # "PowerState" alone, as rfkill ("off-blocked") and the transitions change it.
    'SetPowerState': ('s', '', lambda state: set_properties(
        ADAPTER_PATH, ADAPTER_IFACE, {'PowerState': dbus.String(state)})),
    'Writes': ('', 'a(ays)', lambda: dbus.Array(
        [(dbus.ByteArray(value), kind) for value, kind in WRITES], signature='(ays)')),
    # The error is "" for success, "(pending)" while unanswered.
    'Calls': ('', 'a(ssss)', lambda: dbus.Array([tuple(e) for e in CALLS], signature='(ssss)')),
}


@dbus.service.method('org.orvix.MockRecorder', in_signature='astu', out_signature='ad',
                     async_callbacks=('reply', '_refuse'))
def NotifySequence(_self, order, spacing_us, size, reply, _refuse):
    '''One every `spacing_us` on `order`'s characteristics, each `size` bytes from its index (4,
    big-endian); waits under a millisecond are slept, longer ones leave the mock serving calls.'''
    filler = bytes(range(256)) * (size // 256 + 1)
    packets = [(CHARACTERISTICS[str(which)], i.to_bytes(4, 'big') + filler[4:size])
               for i, which in enumerate(order)]
    sent, start = [], time.monotonic()

    def send_due():
        while len(sent) < len(packets):
            left = start + len(sent) * spacing_us / 1e6 - time.monotonic()
            if left >= 0.001:
                GLib.timeout_add(int(left * 1000), send_due)
                return False
            if left > 0:
                time.sleep(left)
            characteristic, value = packets[len(sent)]
            sent.append(time.monotonic())
            characteristic.deliver(value)
        reply(dbus.Array(sent, signature='d'))
        return False
    send_due()


def load(mock, parameters):
    SETTINGS['mtu_property'] = bool(parameters.get('mtu_property', True))
    for name, (in_signature, out_signature, function) in CONTROL.items():
        mock.AddMethod('org.orvix.MockRecorder', name, in_signature, out_signature,
                       lambda _self, *args, function=function: function(*args))
    mock.AddAdapter('hci0', 'orvix-test')
    adapter = objects[ADAPTER_PATH]
    adapter.props[ADAPTER_IFACE]['PowerState'] = dbus.String('on')   # BlueZ 5.64 and later
    serve(adapter, ADAPTER_IFACE, 'StartDiscovery', '', '', ADAPTER.start_discovery)
    serve(adapter, ADAPTER_IFACE, 'StopDiscovery', '', '', ADAPTER.stop_discovery)
    serve(adapter, ADAPTER_IFACE, 'SetDiscoveryFilter', 'a{sv}', '', ADAPTER.set_discovery_filter)
    mock.connection.add_signal_receiver(
        lambda name, _old, new: ADAPTER.client_left(name) if name.startswith(':') and not new
        else None, signal_name='NameOwnerChanged', dbus_interface='org.freedesktop.DBus',
        path='/org/freedesktop/DBus')
