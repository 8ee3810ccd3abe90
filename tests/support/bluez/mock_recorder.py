'''The recorder on BlueZ's bus, as bluetoothd (BlueZ 5.66) presents it, for tests, the bench and
the demo.

Loaded with org.freedesktop.DBus.Mock.AddTemplate into python-dbusmock's "bluez5" template. Adds
the adapter hci0 with per-client discovery sessions, and plays the recorder: an LE peripheral
whose Device1 object bluetoothd creates on the first advertisement heard while some client
discovers, and drops again once it stayed temporary and unheard for the TemporaryTimeout. Its GATT
service (rx, command and stream characteristics, ATT MTU 247) is exported after the first
connection and stays cached while the device object lives. On "/", org.orvix.MockRecorder lets a
test act as the recorder and read what the mock served.

Parameters of AddTemplate:
  known (b)         bluetoothd has the recorder stored: its object exists from the start
  paired (b)        ... and paired (implies known)
  mtu_property (b)  characteristics carry "MTU", as BlueZ 5.62 and later do (default true)
  address_type (s)  "random" (default, a static address) or "public"

Each behaviour names the bluetoothd function it follows (src/adapter.c, src/device.c,
src/gatt-client.c, src/error.c); the delays stand for the kernel and the radio.
'''

import collections
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
ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
SERVICE_IFACE = 'org.bluez.GattService1'
CHARACTERISTIC_IFACE = 'org.bluez.GattCharacteristic1'
DESCRIPTOR_IFACE = 'org.bluez.GattDescriptor1'
OBJECT_MANAGER_IFACE = 'org.freedesktop.DBus.ObjectManager'
PROPERTIES_IFACE = 'org.freedesktop.DBus.Properties'

ADAPTER_PATH = '/org/bluez/hci0'
ADDRESS = 'C0:FF:EE:00:00:01'
NAME = 'Orvix K7'
DEVICE_PATH = ADAPTER_PATH + '/dev_' + ADDRESS.replace(':', '_')
SERVICE_UUID = '001120a0-2233-4455-6677-889912345678'
SERVICE_PATH = DEVICE_PATH + '/service0010'
CCC_UUID = '00002902-0000-1000-8000-00805f9b34fb'
# Declaration handles as the recorder's GATT server lays them out; bluetoothd names the objects
# after them (gatt-client.c characteristic_create(), descriptor_create()).
CHARACTERISTICS = {
    'rx': (0x0011, '001120a2-2233-4455-6677-889912345678', ['write', 'write-without-response']),
    'command': (0x0013, '001120a3-2233-4455-6677-889912345678', ['notify']),
    'stream': (0x0016, '001120a4-2233-4455-6677-889912345678', ['notify']),
}
ATT_MTU = 247
# LE General Discoverable, BR/EDR not supported: what the recorder advertises.
ADVERTISING_FLAGS = 0x06

# What the kernel and the radio take, shortened where the real ones take seconds.
START_DISCOVERY_DELAY = 0.030    # MGMT Start Discovery confirmed
STOP_DISCOVERY_DELAY = 0.080     # MGMT Stop Discovery confirmed
LINK_UP_DELAY = 0.040            # LE connection established, ATT channel up
CONNECT_ABORT_DELAY = 0.100      # the kernel gives up on an unreachable device (seconds in truth)
SERVICES_RESOLVED_DELAY = 0.050  # GATT discovery, or reading the cache, after the link is up
DISCONNECT_TIMER = 2.0           # device.c DISCONNECT_TIMER: Disconnect keeps the link this long
CCC_WRITE_DELAY = 0.005          # the CCC descriptor written for StartNotify and AcquireNotify
ATT_RESPONSE_DELAY = 0.005       # a Write or Read Response from the recorder
DEFAULT_TEMPORARY_TIMEOUT = 30.0  # main.conf TemporaryTimeout

RSSI_THRESHOLD = 8    # device.c: RSSI changes smaller than this go unreported
PATHLOSS_MAX = 137    # adapter.c: the largest Pathloss a discovery filter takes
CALLS_KEPT = 65536


def objects():
    return mockobject.objects


def log(message):
    ROOT[0].log(message)


# --- bluetoothd's errors (src/error.c) ----------------------------------------------------------

def bluez_error(name, message):
    return dbus.exceptions.DBusException(message, name='org.bluez.Error.' + name)


def not_ready():
    return bluez_error('NotReady', 'Resource Not Ready')


def busy():
    '''btd_error_busy(): the discovery calls' "in progress".'''
    return bluez_error('InProgress', 'Operation already in progress')


def in_progress():
    '''btd_error_in_progress(): the GATT calls' "in progress".'''
    return bluez_error('InProgress', 'In Progress')


def failed(message):
    return bluez_error('Failed', message)


def not_permitted(message):
    return bluez_error('NotPermitted', message)


def not_supported():
    return bluez_error('NotSupported', 'Operation is not supported')


def not_connected():
    return bluez_error('NotConnected', 'Not Connected')


def invalid_arguments():
    return bluez_error('InvalidArguments', 'Invalid arguments in method call')


def does_not_exist():
    return bluez_error('DoesNotExist', 'Does Not Exist')


# --- Serving BlueZ's methods --------------------------------------------------------------------

ROOT = [None]
OPTIONS = {'known': False, 'paired': False, 'mtu_property': True, 'address_type': 'random'}
CALLS = []   # [method, path, error, detail], in the order the calls came


class Request:
    '''One BlueZ method call, answered at once or later, as bluetoothd answers it.'''

    def __init__(self, method, path, sender, reply, error):
        self.sender = sender
        self._reply = reply
        self._error = error
        self.entry = [method, path, '(pending)', '']
        CALLS.append(self.entry)
        if len(CALLS) > CALLS_KEPT:
            del CALLS[0]

    def succeed(self, *values):
        if self._reply is not None:
            self.entry[2] = ''
            self._reply(*values)
            self._reply = self._error = None

    def fail(self, refusal):
        if self._error is not None:
            self.entry[2] = refusal.get_dbus_name()
            self._error(refusal)
            self._reply = self._error = None


def serve(obj, interface, name, in_signature, out_signature, handler):
    '''Exports `handler(request, *args)` as a method of `obj` that answers through the request,
    now or later, knows its caller (bluetoothd keeps sessions per D-Bus sender) and is recorded.'''
    def method(self, *args, **keywords):
        self.log('%s %s from %s' % (name, self.path, keywords['sender']))
        request = Request(name, self.path, keywords['sender'], keywords['reply'],
                          keywords['error'])
        try:
            handler(request, *args)
        except dbus.exceptions.DBusException as refusal:
            request.fail(refusal)
    method.__name__ = name
    exported = dbus.service.method(interface, out_signature=out_signature,
                                   byte_arrays=True)(method)
    exported._dbus_in_signature = in_signature
    exported._dbus_args = ['arg%d' % i for i in range(len(list(dbus.Signature(in_signature))))]
    exported._dbus_async_callbacks = ('reply', 'error')
    exported._dbus_sender_keyword = 'sender'
    obj.methods.setdefault(interface, {})[name] = (in_signature, out_signature, '', exported)


def add_object(path, interface, properties, methods):
    '''Exports an object with its methods and announces it, as gdbus does on registration.'''
    ROOT[0].AddObject(path, interface, properties, [])
    for name, in_signature, out_signature, handler in methods:
        serve(objects()[path], interface, name, in_signature, out_signature, handler)
    ROOT[0].EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                       [dbus.ObjectPath(path), {interface: properties}])


def remove_object(path):
    if path not in objects():
        return
    interfaces = list(objects()[path].props)
    ROOT[0].RemoveObject(path)
    ROOT[0].EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                       [dbus.ObjectPath(path), dbus.Array(interfaces, signature='s')])


def signal_changed(path, interface, changed, invalidated=()):
    '''One PropertiesChanged, sent without the mock's log line so that bursts measure the bus.'''
    signal = dbus.lowlevel.SignalMessage(path, PROPERTIES_IFACE, 'PropertiesChanged')
    signal.append(interface, dbus.Dictionary(changed, signature='sv'),
                  dbus.Array(invalidated, signature='s'), signature='sa{sv}as')
    ROOT[0].connection.send_message(signal)


def set_properties(path, interface, changed, invalidated=()):
    '''Changes exported properties and says so in one signal, as gdbus gathers them.'''
    obj = objects().get(path)
    if obj is None:
        return
    properties = obj.props.setdefault(interface, {})
    properties.update(changed)
    for name in invalidated:
        properties.pop(name, None)
    signal_changed(path, interface, changed, list(invalidated))


class Timer:
    '''A bluetoothd timeout: starting it again restarts it.'''

    def __init__(self):
        self.source = 0

    def start(self, seconds, function, *args):
        self.stop()

        def fire():
            self.source = 0
            function(*args)
            return False
        self.source = GLib.timeout_add(max(0, round(seconds * 1000)), fire)

    def stop(self):
        if self.source:
            GLib.source_remove(self.source)
            self.source = 0

    @property
    def running(self):
        return self.source != 0


def after(seconds, function, *args):
    Timer().start(seconds, function, *args)


# --- Discovery per client (adapter.c) -----------------------------------------------------------

BOTH_TRANSPORTS = frozenset({'le', 'bredr'})
TRANSPORTS = {'auto': BOTH_TRANSPORTS, 'le': frozenset({'le'}), 'bredr': frozenset({'bredr'})}
# What the kernel is asked to scan for (mgmt_cp_start_service_discovery).
Scan = collections.namedtuple('Scan', 'transports rssi uuids')


def uuid128(text):
    '''bt_string_to_uuid() and bt_uuid_to_uuid128(): short UUIDs on the Bluetooth base.'''
    text = str(text).lower()
    if len(text) in (4, 8) and all(c in '0123456789abcdef' for c in text):
        return text.rjust(8, '0') + '-0000-1000-8000-00805f9b34fb'
    parts = text.split('-')
    if [len(p) for p in parts] != [8, 4, 4, 4, 12]:
        raise invalid_arguments()
    return text


class DiscoveryFilter:
    '''A client's SetDiscoveryFilter, checked as parse_discovery_filter_dict() checks it.'''

    def __init__(self, entries):
        self.uuids = frozenset()
        self.rssi = None
        self.pathloss = None
        self.transport = 'auto'
        self.duplicate = False
        self.pattern = None
        for key, value in entries.items():
            if key == 'UUIDs' and isinstance(value, dbus.Array) and all(
                    isinstance(u, dbus.String) for u in value):
                self.uuids = frozenset(uuid128(u) for u in value)
            elif key == 'RSSI' and isinstance(value, dbus.Int16) and -127 <= value <= 20:
                self.rssi = int(value)
            elif key == 'Pathloss' and isinstance(value, dbus.UInt16) and value <= PATHLOSS_MAX:
                self.pathloss = int(value)
            elif key == 'Transport' and isinstance(value, dbus.String) and value in TRANSPORTS:
                self.transport = str(value)
            elif key == 'DuplicateData' and isinstance(value, dbus.Boolean):
                self.duplicate = bool(value)
            elif key == 'Discoverable' and isinstance(value, dbus.Boolean):
                pass   # would make the adapter discoverable; nothing here watches that
            elif key == 'Pattern' and isinstance(value, dbus.String):
                self.pattern = str(value)
            else:
                raise invalid_arguments()
        if self.rssi is not None and self.pathloss is not None:
            raise invalid_arguments()


def filter_detail(entries):
    '''"Transport=le,DuplicateData=true,RSSI=-127", in the client's order; lists joined by "|".'''
    def text(value):
        if isinstance(value, dbus.Boolean):
            return 'true' if value else 'false'
        if isinstance(value, dbus.Array):
            return '|'.join(str(v) for v in value)
        return str(value)
    return ','.join('%s=%s' % (key, text(value)) for key, value in entries.items())


class Session:
    '''A client's discovery (adapter.c struct discovery_client).'''

    def __init__(self, owner, discovery_filter):
        self.owner = owner
        self.filter = discovery_filter
        self.pending = None   # its StartDiscovery or StopDiscovery, waiting for the kernel
        self.stopping = False


class Adapter:
    powered = True
    discovering = False   # the "Discovering" property, adapter->discovering
    sessions = {}         # owner -> Session: adapter->discovery_list
    preset = {}           # owner -> DiscoveryFilter set before StartDiscovery: set_filter_list
    scan = None           # adapter->current_discovery_filter; None for plain discovery


def merged_scan():
    '''merge_discovery_filters(): one kernel filter for every session; None while no session has
    a filter, and everything reported while a plain discovery runs beside filtered ones.'''
    filters = [s.filter for s in Adapter.sessions.values() if s.filter is not None]
    if not filters:
        return None
    if len(filters) < len(Adapter.sessions):
        return Scan(BOTH_TRANSPORTS, None, frozenset())
    transports = frozenset().union(*(TRANSPORTS[f.transport] for f in filters))
    rssi = min(f.rssi for f in filters) if all(f.rssi is not None for f in filters) else None
    uuids = (frozenset() if any(not f.uuids for f in filters)
             else frozenset().union(*(f.uuids for f in filters)))
    return Scan(transports, rssi, uuids)


def update_scan():
    '''update_discovery_filter(): whether the kernel has to (re)start, which a new StartDiscovery
    waits for; an unchanged filter on a running discovery is answered at once.'''
    scan = merged_scan()
    if scan == Adapter.scan and Adapter.discovering:
        return False
    Adapter.scan = scan
    return True


def set_discovering(discovering):
    if Adapter.discovering != discovering:
        Adapter.discovering = discovering
        set_properties(ADAPTER_PATH, ADAPTER_IFACE, {'Discovering': dbus.Boolean(discovering)})


def start_discovery(request):
    '''adapter.c start_discovery().'''
    if not Adapter.powered:
        raise not_ready()
    owner = request.sender
    if owner in Adapter.sessions:   # also while its StopDiscovery is still with the kernel
        raise busy()
    session = Session(owner, Adapter.preset.pop(owner, None))
    Adapter.sessions[owner] = session
    if not update_scan():
        request.succeed()
        return
    session.pending = request
    after(START_DISCOVERY_DELAY, discovery_started, session, request)


def discovery_started(session, request):
    '''start_discovery_complete(): the reply, then "Discovering".'''
    if Adapter.sessions.get(session.owner) is not session or session.pending is not request:
        return
    session.pending = None
    request.succeed()
    set_discovering(True)


def stop_discovery(request):
    '''adapter.c stop_discovery().'''
    if not Adapter.powered:
        raise not_ready()
    session = Adapter.sessions.get(request.sender)
    if session is None:
        raise failed('No discovery started')
    if session.pending is not None or session.stopping:
        raise busy()
    end_session(session, request)


def end_session(session, request=None):
    '''discovery_stop(): another client's discovery goes on, so the session ends at once; the
    last one stays listed until the kernel confirms the stop.'''
    if len(Adapter.sessions) > 1:
        remove_session(session, keep_filter=request is not None)
        update_scan()
        if request is not None:
            request.succeed()
        return
    session.stopping = True
    session.pending = request
    after(STOP_DISCOVERY_DELAY, discovery_stopped, session)


def discovery_stopped(session):
    '''stop_discovery_complete(): the reply, the found devices' cleanup, then "Discovering".'''
    if Adapter.sessions.get(session.owner) is not session:
        return
    request = session.pending
    remove_session(session, keep_filter=request is not None)
    if request is not None:
        request.succeed()
    if not Adapter.sessions:
        Adapter.scan = None
        discovery_cleanup()
        set_discovering(False)


def remove_session(session, keep_filter):
    '''discovery_remove(): a client still on the bus keeps its filter for its next discovery.'''
    del Adapter.sessions[session.owner]
    if keep_filter and session.filter is not None:
        Adapter.preset[session.owner] = session.filter


def set_discovery_filter(request, entries):
    '''adapter.c set_discovery_filter().'''
    if not Adapter.powered:
        raise not_ready()
    request.entry[3] = filter_detail(entries)
    discovery_filter = DiscoveryFilter(entries) if entries else None
    owner = request.sender
    session = Adapter.sessions.get(owner)
    if session is not None:
        session.filter = discovery_filter
        update_scan()
    elif discovery_filter is not None:
        Adapter.preset[owner] = discovery_filter
    else:
        Adapter.preset.pop(owner, None)
    request.succeed()


def get_discovery_filters(request):
    request.succeed(dbus.Array(['UUIDs', 'RSSI', 'Pathloss', 'Transport', 'DuplicateData',
                                'Discoverable', 'Pattern'], signature='s'))


def remove_device(request, path):
    '''adapter.c remove_device(): a connected device goes once its link is down.'''
    if path != DEVICE_PATH or not Recorder.exists:
        raise does_not_exist()
    set_temporary(True)
    if Recorder.link != 'up':
        request.succeed()   # InterfacesRemoved follows from gdbus's idle callback
        drop_device()
        return
    Recorder.removal_requested = True
    request_disconnect(request)


def client_left(owner):
    '''The g_dbus_add_disconnect_watch() callbacks: discovery_disconnect() and
    notify_client_disconnect() end what the client had.'''
    Adapter.preset.pop(owner, None)
    session = Adapter.sessions.get(owner)
    if session is not None and not session.stopping:
        session.pending = None   # nobody left to answer
        end_session(session)
    for characteristic in Characteristic.all.values():
        if characteristic.sessions.pop(owner, None) is not None:
            update_notifying(characteristic)


def power(powered):
    '''adapter_stop() when switched off: pending discovery calls are refused, sessions and links
    end; switched on, nothing restarts.'''
    if powered == Adapter.powered:
        return
    Adapter.powered = powered
    changed = {'Powered': dbus.Boolean(powered), 'PowerState': dbus.String(
        'on' if powered else 'off')}
    if not powered:
        for session in list(Adapter.sessions.values()):
            if session.pending is not None:
                session.pending.fail(busy())
                session.pending = None
        Adapter.sessions.clear()
        Adapter.preset.clear()
        Adapter.scan = None
        discovery_cleanup()
        if Adapter.discovering:
            Adapter.discovering = False
            changed['Discovering'] = dbus.Boolean(False)
        if Recorder.link == 'connecting':
            connection_aborted()
        elif Recorder.link == 'up':
            link_down()
    set_properties(ADAPTER_PATH, ADAPTER_IFACE, changed)


# --- The recorder heard (adapter.c update_found_devices(), device.c) ----------------------------

class Recorder:
    exists = False          # its Device1 object is exported
    temporary = True        # device.c: temporary until connected to, paired or stored
    paired = False
    rssi = 0                # the last RSSI reported, 0 for none (device.c device->rssi)
    found = False           # heard during the current discovery (adapter->discovery_found)
    link = 'down'           # 'down', 'connecting' or 'up'
    gatt_exported = False   # the GATT objects, cached while the device object lives
    refuse_connections = False
    manufacturer_data = {}  # what the recorder advertises, company -> bytes
    reported_data = {}      # its "ManufacturerData"
    connect_request = None
    disconnect_requests = []
    removal_requested = False
    temporary_timeout = DEFAULT_TEMPORARY_TIMEOUT
    temporary_timer = Timer()
    disconnect_timer = Timer()
    link_timer = Timer()
    resolve_timer = Timer()
    advertising = Timer()


def heard(rssi):
    '''Whether bluetoothd hears an advertisement at `rssi`: only while discovering, through the
    kernel's filter (transport, RSSI threshold, UUIDs), is_filter_match() and the clients'
    Pattern (device_is_discoverable()). bluetoothd's own RSSI and Pathloss checks in
    is_filter_match() let everything through, so only the kernel's RSSI threshold applies.'''
    if not Adapter.discovering:
        return False
    scan = Adapter.scan
    if scan is not None:
        if 'le' not in scan.transports:
            return False
        if scan.rssi is not None and rssi < scan.rssi:
            return False
        if scan.uuids and SERVICE_UUID not in scan.uuids:
            return False
        if not any(s.filter is None or not s.filter.uuids or SERVICE_UUID in s.filter.uuids
                   for s in Adapter.sessions.values()):
            return False
    patterns = [s.filter.pattern for s in Adapter.sessions.values()
                if s.filter is not None and s.filter.pattern is not None]
    return not patterns or any(ADDRESS.startswith(p) or NAME.startswith(p) for p in patterns)


def advertise(rssi):
    '''One advertisement of the recorder; answers whether bluetoothd heard it.'''
    if not heard(rssi):
        return False
    if not Recorder.exists:
        create_device(rssi)
    else:
        update_rssi(rssi)
        update_manufacturer_data()
        if 'AdvertisingFlags' not in objects()[DEVICE_PATH].props[DEVICE_IFACE]:
            set_properties(DEVICE_PATH, DEVICE_IFACE, {'AdvertisingFlags': dbus.Array(
                [dbus.Byte(ADVERTISING_FLAGS)], signature='y')})   # device_set_flags()
    Recorder.found = True
    last_seen()
    return True


def update_rssi(rssi):
    '''device_set_rssi_with_delta(): during a filtered discovery (any client with a filter) every
    advertisement reports its RSSI, otherwise only a change of RSSI_THRESHOLD dBm or more from the
    last one reported.'''
    threshold = 0 if Adapter.scan is not None else RSSI_THRESHOLD
    if Recorder.rssi != 0 and abs(rssi - Recorder.rssi) < threshold:
        return
    Recorder.rssi = rssi
    set_properties(DEVICE_PATH, DEVICE_IFACE, {'RSSI': dbus.Int16(rssi)})


def manufacturer_data_property():
    return dbus.Dictionary({dbus.UInt16(company): dbus.Array(data, signature='y', variant_level=1)
                            for company, data in Recorder.reported_data.items()}, signature='qv')


def update_manufacturer_data():
    '''device_set_manufacturer_data(): a change is reported; with DuplicateData in some client's
    filter, every advertisement carrying data is.'''
    if not Recorder.manufacturer_data:
        return
    duplicate = any(s.filter is not None and s.filter.duplicate
                    for s in Adapter.sessions.values())
    merged = ({} if duplicate else dict(Recorder.reported_data))
    merged.update(Recorder.manufacturer_data)
    if merged == Recorder.reported_data and not duplicate:
        return
    Recorder.reported_data = merged
    set_properties(DEVICE_PATH, DEVICE_IFACE, {'ManufacturerData': manufacturer_data_property()})


def device_properties():
    properties = {
        'Address': dbus.String(ADDRESS),
        'AddressType': dbus.String(OPTIONS['address_type']),
        'Name': dbus.String(NAME),
        'Alias': dbus.String(NAME),
        'Paired': dbus.Boolean(Recorder.paired),
        'Trusted': dbus.Boolean(False),
        'Blocked': dbus.Boolean(False),
        'LegacyPairing': dbus.Boolean(False),
        'Connected': dbus.Boolean(False),
        'UUIDs': dbus.Array([SERVICE_UUID], signature='s'),
        'Adapter': dbus.ObjectPath(ADAPTER_PATH),
        'ServicesResolved': dbus.Boolean(False),
    }
    if Recorder.rssi:
        properties['RSSI'] = dbus.Int16(Recorder.rssi)
        properties['AdvertisingFlags'] = dbus.Array([dbus.Byte(ADVERTISING_FLAGS)], signature='y')
    if Recorder.reported_data:
        properties['ManufacturerData'] = manufacturer_data_property()
    return properties


def create_device(rssi=0):
    '''adapter_create_device(): the object appears with what the advertisement told.'''
    Recorder.exists = True
    Recorder.rssi = rssi
    Recorder.reported_data = dict(Recorder.manufacturer_data) if rssi else {}
    add_object(DEVICE_PATH, DEVICE_IFACE, device_properties(), [
        ('Connect', '', '', connect),
        ('Disconnect', '', '', request_disconnect),
    ])


def drop_device():
    '''btd_adapter_remove_device(): the GATT objects, then the device, go.'''
    for timer in (Recorder.temporary_timer, Recorder.link_timer, Recorder.resolve_timer,
                  Recorder.disconnect_timer):
        timer.stop()
    Recorder.link = 'down'
    if Recorder.connect_request is not None:
        Recorder.connect_request.fail(failed('Device removed'))
        Recorder.connect_request = None
    for characteristic in Characteristic.all.values():
        characteristic.forget()
    for characteristic in Characteristic.all.values():
        remove_object(characteristic.descriptor_path)
        remove_object(characteristic.path)
    remove_object(SERVICE_PATH)
    remove_object(DEVICE_PATH)
    Recorder.exists = Recorder.gatt_exported = Recorder.found = False
    Recorder.rssi = 0
    Recorder.reported_data = {}
    Recorder.temporary = True
    Recorder.paired = False
    Recorder.removal_requested = False


def last_seen():
    '''device_update_last_seen(): each advertisement heard restarts a temporary device's timer;
    when it runs out (device_disappeared()) the device goes, discovering or not.'''
    if Recorder.temporary:
        Recorder.temporary_timer.start(Recorder.temporary_timeout, drop_device)


def set_temporary(temporary):
    '''btd_device_set_temporary(): Connect() makes the device lasting; only a temporary one has
    a disappear timer.'''
    Recorder.temporary = temporary
    if temporary:
        last_seen()
    else:
        Recorder.temporary_timer.stop()


def discovery_cleanup():
    '''adapter.c discovery_cleanup(): the RSSI of the devices found goes invalid (unreported);
    temporary devices without a discoverable flag go at once (the recorder advertises one, so
    its temporary timer decides).'''
    if Recorder.exists and Recorder.found and Recorder.rssi:
        Recorder.rssi = 0
        set_properties(DEVICE_PATH, DEVICE_IFACE, {}, ['RSSI'])
    Recorder.found = False
    if (Recorder.exists and Recorder.temporary and not ADVERTISING_FLAGS & 0x03 and
            Recorder.link == 'down'):
        drop_device()


# --- Connecting (device.c) ----------------------------------------------------------------------

def connect(request):
    '''device.c dev_connect() for an LE device.'''
    if Recorder.link == 'up':
        request.succeed()   # also while a Disconnect waits: the link goes down regardless
        return
    set_temporary(False)
    if Recorder.link == 'connecting':
        raise failed('le-connection-already-connected')   # device_connect_le(): -EALREADY
    if not Adapter.powered:
        raise failed('le-connection-create-socket')   # bt_io_connect() fails at once: -EIO
    Recorder.link = 'connecting'
    Recorder.connect_request = request
    if Recorder.refuse_connections:
        Recorder.link_timer.start(CONNECT_ABORT_DELAY, connection_aborted)
    else:
        Recorder.link_timer.start(LINK_UP_DELAY, link_up)


def connection_aborted():
    '''att_connect_cb() with an error: the kernel gave up (ECONNABORTED).'''
    Recorder.link_timer.stop()
    Recorder.link = 'down'
    if Recorder.connect_request is not None:
        Recorder.connect_request.fail(failed('le-connection-abort-by-local'))
        Recorder.connect_request = None


def link_up():
    '''att_connect_cb() answers Connect; device_add_connection()'s "Connected" follows, gdbus
    sending property changes from an idle callback; services resolve afterwards.'''
    Recorder.link = 'up'
    Recorder.temporary_timer.stop()
    if Recorder.connect_request is not None:
        Recorder.connect_request.succeed()
        Recorder.connect_request = None
    set_properties(DEVICE_PATH, DEVICE_IFACE, {'Connected': dbus.Boolean(True)})
    Recorder.resolve_timer.start(SERVICES_RESOLVED_DELAY, services_resolved)


def services_resolved():
    '''gatt_client_ready_cb(): the GATT objects are exported on the first connection (cached
    after), notify sessions registered again (btd_gatt_client_connected()), then
    "ServicesResolved".'''
    if not Recorder.gatt_exported:
        export_gatt()
        Recorder.gatt_exported = True
    for characteristic in Characteristic.all.values():
        for owner, registered in list(characteristic.sessions.items()):
            if not registered:
                register_notify(characteristic, owner)
    set_properties(DEVICE_PATH, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(True)})


def request_disconnect(request):
    '''device.c device_request_disconnect(): a pending Connect is cancelled; a link is kept for
    DISCONNECT_TIMER and each Disconnect is answered once it is down.'''
    if Recorder.link == 'connecting':
        Recorder.link_timer.stop()
        Recorder.link = 'down'
        if Recorder.connect_request is not None:
            Recorder.connect_request.fail(failed('br-connection-canceled'))
            Recorder.connect_request = None
    if Recorder.link != 'up':
        request.succeed()
        return
    Recorder.disconnect_requests.append(request)
    if not Recorder.disconnect_timer.running:
        Recorder.disconnect_timer.start(DISCONNECT_TIMER, link_down)


def link_down():
    '''The link ends (requested, lost, or the adapter off): btd_gatt_client_disconnected() shuts
    the acquired sockets and unregisters notifications but leaves "Notifying"; then
    device_remove_connection() answers the Disconnects and reports "ServicesResolved" and
    "Connected" false in one signal.'''
    Recorder.disconnect_timer.stop()
    Recorder.resolve_timer.stop()
    Recorder.link = 'down'
    for characteristic in Characteristic.all.values():
        characteristic.link_lost()
    for request in Recorder.disconnect_requests:
        request.succeed()
    Recorder.disconnect_requests = []
    changed = {'ServicesResolved': dbus.Boolean(False), 'Connected': dbus.Boolean(False)}
    set_properties(DEVICE_PATH, DEVICE_IFACE, changed)
    if Recorder.removal_requested:
        drop_device()
    elif Recorder.temporary:
        last_seen()


# --- GATT (gatt-client.c) -----------------------------------------------------------------------

def record_write(value, kind):
    WRITES.append((bytes(value), kind))
    if len(WRITES) > CALLS_KEPT:
        del WRITES[0]


WRITES = []   # what reached the rx characteristic: (bytes, "request" or "command")


class Acquired:
    '''An AcquireWrite or AcquireNotify socket (struct sock_io), bluetoothd's end.'''

    def __init__(self, owner):
        self.owner = owner
        self.socket = None
        self.watch = 0

    def close(self):
        if self.watch:
            GLib.source_remove(self.watch)
            self.watch = 0
        if self.socket is not None:
            self.socket.close()
            self.socket = None


def socket_pair():
    '''create_sock(): a non-blocking SOCK_SEQPACKET pair; the client's end is handed out.'''
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    ours.setblocking(False)
    theirs.setblocking(False)
    handed = dbus.types.UnixFd(theirs)
    theirs.close()
    return ours, handed


class Characteristic:
    '''What bluetoothd keeps for one characteristic while its object is exported.'''
    all = {}

    def __init__(self, which, handle, uuid, flags):
        self.which = which
        self.uuid = uuid
        self.flags = flags
        self.path = '%s/char%04x' % (SERVICE_PATH, handle)
        # The CCC descriptor follows the value attribute.
        self.descriptor_path = '%s/desc%04x' % (self.path, handle + 2)
        self.sessions = {}      # owner -> registered: gatt-client.c notify_clients, notify_id
        self.notifying = False
        self.notify_io = None   # Acquired
        self.write_io = None    # Acquired
        self.writing = False
        self.value = None

    def properties(self):
        properties = {
            'UUID': dbus.String(self.uuid),
            'Service': dbus.ObjectPath(SERVICE_PATH),
            'Flags': dbus.Array(self.flags, signature='s'),
        }
        if self.value is not None:   # characteristic_value_exists(): only once read or notified
            properties['Value'] = dbus.ByteArray(self.value)
        if 'notify' in self.flags:
            properties['Notifying'] = dbus.Boolean(self.notifying)
            properties['NotifyAcquired'] = dbus.Boolean(self.notify_io is not None)
        if 'write-without-response' in self.flags:
            properties['WriteAcquired'] = dbus.Boolean(self.write_io is not None)
        if OPTIONS['mtu_property']:
            properties['MTU'] = dbus.UInt16(ATT_MTU)
        return properties

    def set_notifying(self, notifying):
        if self.notifying != notifying:
            self.notifying = notifying
            set_properties(self.path, CHARACTERISTIC_IFACE, {'Notifying': dbus.Boolean(notifying)})

    def close_notify_io(self, announce=True):
        '''destroy_sock() and notify_io_destroy(): the socket's notify session ends with it.'''
        if self.notify_io is None:
            return
        self.sessions.pop(self.notify_io.owner, None)
        self.notify_io.close()
        self.notify_io = None
        if announce:
            set_properties(self.path, CHARACTERISTIC_IFACE, {'NotifyAcquired': dbus.Boolean(False)})

    def close_write_io(self, announce=True):
        if self.write_io is None:
            return
        self.write_io.close()
        self.write_io = None
        if announce:
            set_properties(self.path, CHARACTERISTIC_IFACE, {'WriteAcquired': dbus.Boolean(False)})

    def link_lost(self):
        '''btd_gatt_client_disconnected(): sockets shut, notify_id cleared, "Notifying" kept.'''
        self.close_notify_io()
        self.close_write_io()
        for owner in self.sessions:
            self.sessions[owner] = False
        self.writing = False

    def forget(self):
        self.close_notify_io(announce=False)
        self.close_write_io(announce=False)
        self.sessions = {}
        self.notifying = False
        self.value = None


def require_link():
    if Recorder.link != 'up':
        raise failed('Not connected')


def update_notifying(characteristic):
    '''update_notifying(): "Notifying" ends with the last registered session.'''
    if not any(characteristic.sessions.values()):
        characteristic.set_notifying(False)


def register_notify(characteristic, owner, request=None):
    '''bt_gatt_client_register_notify(): the CCC is written unless another session already
    enabled it; then the reply, then "Notifying" (register_notify_cb()).'''
    enabled = any(characteristic.sessions.values())
    characteristic.sessions[owner] = True

    def written():
        if request is not None:
            request.succeed()
        if characteristic.sessions.get(owner) and Recorder.link == 'up':
            characteristic.set_notifying(True)
    after(0 if enabled else CCC_WRITE_DELAY, written)


def start_notify(characteristic, request):
    '''characteristic_start_notify().'''
    if Recorder.disconnect_timer.running:
        raise not_connected()   # device_is_disconnecting()
    if characteristic.notify_io is not None:
        raise not_permitted('Notify acquired')
    if 'notify' not in characteristic.flags:
        raise not_supported()
    owner = request.sender
    if owner in characteristic.sessions:
        if characteristic.sessions[owner]:
            request.succeed()
            return
        raise in_progress()
    if Recorder.link != 'up':
        # Kept, unregistered, and registered when the link is back.
        characteristic.sessions[owner] = False
        request.succeed()
        return
    register_notify(characteristic, owner, request)


def stop_notify(characteristic, request):
    '''characteristic_stop_notify(): answers at once, connected or not.'''
    if characteristic.notify_io is not None:
        characteristic.close_notify_io()
        request.succeed()
        return
    if characteristic.sessions.pop(request.sender, None) is None:
        raise failed('No notify session started')
    update_notifying(characteristic)
    request.succeed()


OFFERING_SOCKETS = [True]


def refuse_socket_unless_offered():
    if not OFFERING_SOCKETS[0]:
        raise not_permitted('Not permitted')


def acquire_notify(characteristic, request, _options):
    '''characteristic_acquire_notify(): the socket comes once the CCC is written; "Notifying"
    stays as it was, "NotifyAcquired" tells.'''
    refuse_socket_unless_offered()
    require_link()
    if characteristic.notify_io is not None:
        raise not_permitted('Notify acquired')
    if characteristic.sessions:
        raise in_progress()
    if 'notify' not in characteristic.flags:
        raise not_supported()
    acquired = Acquired(request.sender)
    characteristic.notify_io = acquired
    characteristic.sessions[request.sender] = True

    def written():
        if characteristic.notify_io is not acquired or Recorder.link != 'up':
            request.fail(failed('Not connected'))
            return
        acquired.socket, handed = socket_pair()
        watch_socket(acquired, lambda _packet: None, characteristic.close_notify_io)
        request.succeed(handed, dbus.UInt16(ATT_MTU))
        set_properties(characteristic.path, CHARACTERISTIC_IFACE,
                       {'NotifyAcquired': dbus.Boolean(True)})
    after(CCC_WRITE_DELAY, written)


def watch_socket(acquired, received, hung_up):
    '''sock_read() and sock_hup(): each packet the client sends, then its end closing.'''
    def ready(_fd, condition):
        if condition & GLib.IO_IN:
            try:
                packet = acquired.socket.recv(4096)
            except OSError:
                packet = b''
            if packet:
                received(packet)
                return True
        acquired.watch = 0
        hung_up()
        return False
    acquired.watch = GLib.io_add_watch(acquired.socket.fileno(),
                                       GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, ready)


def acquire_write(characteristic, request, _options):
    '''characteristic_acquire_write(): packets on the socket go out as Write Commands.'''
    refuse_socket_unless_offered()
    require_link()
    if characteristic.write_io is not None:
        raise not_permitted('Write acquired')
    if 'write-without-response' not in characteristic.flags:
        raise not_supported()
    acquired = Acquired(request.sender)
    acquired.socket, handed = socket_pair()

    def received(packet):
        if Recorder.link == 'up' and characteristic.which == 'rx':
            record_write(packet, 'command')
    watch_socket(acquired, received, characteristic.close_write_io)
    characteristic.write_io = acquired
    request.succeed(handed, dbus.UInt16(ATT_MTU))
    set_properties(characteristic.path, CHARACTERISTIC_IFACE, {'WriteAcquired': dbus.Boolean(True)})


def write_options(options):
    '''parse_options(): "type" a string, "offset" a uint16.'''
    kind = options.get('type')
    offset = options.get('offset', dbus.UInt16(0))
    if (kind is not None and not isinstance(kind, dbus.String)) or not isinstance(
            offset, dbus.UInt16):
        raise invalid_arguments()
    return (None if kind is None else str(kind).lower()), int(offset)


def write_value(characteristic, request, value, options):
    '''characteristic_write_value(): a Write Request is answered with the recorder's response; a
    Write Command at once.'''
    require_link()
    if characteristic.write_io is not None:
        raise not_permitted('Write acquired')
    if characteristic.writing:
        raise in_progress()
    kind, offset = write_options(options)
    flags = characteristic.flags
    if kind in ('request', 'reliable') or (kind is None and 'write' in flags):
        characteristic.writing = True

        def answered():
            if not characteristic.writing:
                request.fail(failed('Operation failed'))
                return
            characteristic.writing = False
            if 'write' not in flags:
                request.fail(not_permitted('Write not permitted'))
                return
            if characteristic.which == 'rx':
                record_write(value, 'request')
            request.succeed()
        after(ATT_RESPONSE_DELAY, answered)
        return
    if offset or kind not in ('command', None) or (
            kind is None and 'write-without-response' not in flags):
        raise not_supported()
    if characteristic.which == 'rx':
        record_write(value, 'command')
    request.succeed()


def read_value(characteristic, request, _options):
    '''characteristic_read_value(): none of the recorder's characteristics is readable, so it
    answers Read Not Permitted.'''
    require_link()

    def answered():
        if Recorder.link != 'up':
            request.fail(failed('Operation failed'))
        elif 'read' not in characteristic.flags:
            request.fail(not_permitted('Read not permitted'))
        else:
            request.succeed(dbus.ByteArray(characteristic.value or b''))
    after(ATT_RESPONSE_DELAY, answered)


def read_descriptor(characteristic, request, _options):
    require_link()
    enabled = bytes([1 if any(characteristic.sessions.values()) else 0, 0])
    after(ATT_RESPONSE_DELAY, request.succeed, dbus.ByteArray(enabled))


def write_descriptor(_characteristic, request, _value, _options):
    '''descriptor_write_value(): the CCC is StartNotify's to write.'''
    require_link()
    raise not_permitted('Write not permitted')


def export_gatt():
    '''btd_gatt_client_ready() and create_services(): InterfacesAdded for the service, each
    characteristic and each CCC descriptor.'''
    add_object(SERVICE_PATH, SERVICE_IFACE, {
        'UUID': dbus.String(SERVICE_UUID),
        'Device': dbus.ObjectPath(DEVICE_PATH),
        'Primary': dbus.Boolean(True),
        'Includes': dbus.Array([], signature='o'),
    }, [])
    for characteristic in Characteristic.all.values():
        c = characteristic
        add_object(c.path, CHARACTERISTIC_IFACE, c.properties(), [
            ('ReadValue', 'a{sv}', 'ay', lambda r, o, c=c: read_value(c, r, o)),
            ('WriteValue', 'aya{sv}', '', lambda r, v, o, c=c: write_value(c, r, v, o)),
            ('StartNotify', '', '', lambda r, c=c: start_notify(c, r)),
            ('StopNotify', '', '', lambda r, c=c: stop_notify(c, r)),
            ('AcquireWrite', 'a{sv}', 'hq', lambda r, o, c=c: acquire_write(c, r, o)),
            ('AcquireNotify', 'a{sv}', 'hq', lambda r, o, c=c: acquire_notify(c, r, o)),
        ])
        if 'notify' in c.flags:
            add_object(c.descriptor_path, DESCRIPTOR_IFACE, {
                'UUID': dbus.String(CCC_UUID),
                'Characteristic': dbus.ObjectPath(c.path),
            }, [
                ('ReadValue', 'a{sv}', 'ay', lambda r, o, c=c: read_descriptor(c, r, o)),
                ('WriteValue', 'aya{sv}', '', lambda r, v, o, c=c: write_descriptor(c, r, v, o)),
            ])


def deliver(characteristic, value):
    '''A notification from the recorder: notify_io_cb() puts it on an acquired socket, dropping
    it when the socket is full; otherwise notify_cb() reports "Value" once per registered
    session.'''
    if Recorder.link != 'up':
        return
    acquired = characteristic.notify_io
    if acquired is not None:
        if acquired.socket is not None:
            try:
                acquired.socket.send(value)
            except OSError:
                pass
        return
    sessions = sum(1 for registered in characteristic.sessions.values() if registered)
    if not sessions:
        return
    characteristic.value = bytes(value)
    changed = dbus.ByteArray(characteristic.value)
    objects()[characteristic.path].props[CHARACTERISTIC_IFACE]['Value'] = changed
    for _ in range(sessions):
        signal_changed(characteristic.path, CHARACTERISTIC_IFACE, {'Value': changed})


# --- Loading -------------------------------------------------------------------------------------

def load(mock, parameters):
    ROOT[0] = mock
    for key in ('known', 'paired', 'mtu_property'):
        if key in parameters:
            OPTIONS[key] = bool(parameters[key])
    if 'address_type' in parameters:
        OPTIONS['address_type'] = str(parameters['address_type'])
    OPTIONS['known'] = OPTIONS['known'] or OPTIONS['paired']

    mock.AddAdapter('hci0', 'orvix-test')
    adapter = objects()[ADAPTER_PATH]
    # BlueZ 5.64 and later also say how the power stands (rfkill, transitions).
    adapter.props[ADAPTER_IFACE]['PowerState'] = dbus.String('on')
    adapter.props[ADAPTER_IFACE].pop('DiscoveryFilter', None)
    serve(adapter, ADAPTER_IFACE, 'StartDiscovery', '', '', start_discovery)
    serve(adapter, ADAPTER_IFACE, 'StopDiscovery', '', '', stop_discovery)
    serve(adapter, ADAPTER_IFACE, 'SetDiscoveryFilter', 'a{sv}', '', set_discovery_filter)
    serve(adapter, ADAPTER_IFACE, 'GetDiscoveryFilters', '', 'as', get_discovery_filters)
    serve(adapter, ADAPTER_IFACE, 'RemoveDevice', 'o', '', remove_device)

    for which, (handle, uuid, flags) in CHARACTERISTICS.items():
        Characteristic.all[which] = Characteristic(which, handle, uuid, flags)

    if OPTIONS['known']:
        Recorder.temporary = False
        Recorder.paired = OPTIONS['paired']
        create_device()

    mock.connection.add_signal_receiver(
        lambda name, _old, new: client_left(name) if name.startswith(':') and not new else None,
        signal_name='NameOwnerChanged', dbus_interface='org.freedesktop.DBus',
        path='/org/freedesktop/DBus')


# --- The test acting as the recorder -------------------------------------------------------------

@dbus.service.method(CONTROL_IFACE, in_signature='n', out_signature='b')
def Advertise(_self, rssi):
    '''The recorder advertises once at `rssi` dBm; answers whether bluetoothd heard it.'''
    return dbus.Boolean(advertise(int(rssi)))


@dbus.service.method(CONTROL_IFACE, in_signature='un', out_signature='')
def AdvertiseEvery(_self, interval_ms, rssi):
    '''The recorder advertises every `interval_ms` (0 stops), heard only while discovering.'''
    Recorder.advertising.stop()
    if not interval_ms:
        return

    def again():
        advertise(int(rssi))
        Recorder.advertising.start(interval_ms / 1000, again)
    again()


@dbus.service.method(CONTROL_IFACE, in_signature='qay', out_signature='')
def SetManufacturerData(_self, company, data):
    '''The recorder's next advertisements carry `data` for `company`.'''
    Recorder.manufacturer_data = {int(company): bytes(data)}


@dbus.service.method(CONTROL_IFACE, in_signature='u', out_signature='')
def SetTemporaryTimeout(_self, timeout_ms):
    '''main.conf TemporaryTimeout; a running disappear timer starts over with it.'''
    Recorder.temporary_timeout = timeout_ms / 1000
    if Recorder.temporary_timer.running:
        last_seen()


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='b')
def Discovering(_self):
    return dbus.Boolean(Adapter.discovering)


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='b')
def DeviceExists(_self):
    return dbus.Boolean(Recorder.exists)


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='b')
def Connected(_self):
    return dbus.Boolean(Recorder.link == 'up')


@dbus.service.method(CONTROL_IFACE, in_signature='say', out_signature='')
def Notify(_self, which, value):
    '''One notification of `value` on the characteristic `which` (command or stream).'''
    deliver(Characteristic.all[str(which)], bytes(value))


@dbus.service.method(CONTROL_IFACE, in_signature='suu', out_signature='ad')
def NotifyBurst(_self, which, count, size):
    '''`count` notifications of `size` bytes each, back to back, the bytes counting on from one
    packet to the next; answers the CLOCK_MONOTONIC time at which each was sent.'''
    characteristic = Characteristic.all[str(which)]
    counting = bytes(range(256)) * (size // 256 + 2)
    values = [counting[(p * size) % 256:(p * size) % 256 + size] for p in range(count)]
    sent = []
    for value in values:
        sent.append(time.monotonic())
        deliver(characteristic, value)
    return dbus.Array(sent, signature='d')


@dbus.service.method(CONTROL_IFACE, in_signature='astu', out_signature='ad',
                     async_callbacks=('reply', 'error'))
def NotifySequence(_self, order, spacing_us, size, reply, error):
    '''Notifications on the characteristics named in `order`, one every `spacing_us` (0: back to
    back), each `size` bytes beginning with its index as 4 bytes big-endian; answers the
    CLOCK_MONOTONIC time at which each was sent. The mock keeps serving calls in between.'''
    if size < 4 or any(str(which) not in Characteristic.all for which in order):
        error(dbus.exceptions.DBusException('size below 4 or unknown characteristic',
                                            name='org.freedesktop.DBus.Error.InvalidArgs'))
        return
    filler = bytes(range(256)) * (size // 256 + 1)
    packets = [(Characteristic.all[str(which)],
                i.to_bytes(4, 'big') + filler[4:size]) for i, which in enumerate(order)]
    sent = []
    spacing = spacing_us / 1e6
    start = time.monotonic()

    def send_due():
        while len(sent) < len(packets):
            due = start + len(sent) * spacing
            left = due - time.monotonic()
            if left >= 0.001:
                GLib.timeout_add(int(left * 1000), send_due)
                return False
            if left > 0:
                time.sleep(left)
            characteristic, value = packets[len(sent)]
            sent.append(time.monotonic())
            deliver(characteristic, value)
        reply(dbus.Array(sent, signature='d'))
        return False
    send_due()


@dbus.service.method(CONTROL_IFACE, in_signature='s', out_signature='')
def NotifyMalformed(_self, kind):
    '''A change no BlueZ sends: a command "Value" as text or of 5,000 bytes, or the device's
    "Connected" as text.'''
    if kind == 'connected-text':
        signal_changed(DEVICE_PATH, DEVICE_IFACE, {'Connected': dbus.String('no')})
        return
    value = dbus.String('not bytes') if kind == 'text' else dbus.ByteArray(bytes(5000))
    signal_changed(Characteristic.all['command'].path, CHARACTERISTIC_IFACE, {'Value': value})


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='')
def DropLink(_self):
    '''The link to the recorder is lost (out of range, battery).'''
    if Recorder.link == 'up':
        link_down()


@dbus.service.method(CONTROL_IFACE, in_signature='b', out_signature='')
def RefuseConnections(_self, refuse):
    '''The recorder is out of reach: connection attempts are given up.'''
    Recorder.refuse_connections = bool(refuse)


@dbus.service.method(CONTROL_IFACE, in_signature='b', out_signature='')
def OfferSockets(_self, offer):
    '''Whether AcquireNotify and AcquireWrite hand out sockets or refuse (NotPermitted).'''
    OFFERING_SOCKETS[0] = bool(offer)


@dbus.service.method(CONTROL_IFACE, in_signature='b', out_signature='')
def SetPowered(_self, powered):
    '''The adapter is switched on or off; off ends discoveries and the link, as bluetoothd does.'''
    power(bool(powered))


@dbus.service.method(CONTROL_IFACE, in_signature='s', out_signature='')
def SetPowerState(_self, state):
    '''Only "PowerState" changes: "off-blocked" (rfkill), "off-enabling", "on-disabling"...'''
    set_properties(ADAPTER_PATH, ADAPTER_IFACE, {'PowerState': dbus.String(state)})


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='a(ays)')
def Writes(_self):
    '''What was written to the rx characteristic: the bytes and the write type of each.'''
    return dbus.Array([dbus.Struct((dbus.ByteArray(value), kind), signature='ays')
                       for value, kind in WRITES], signature='(ays)')


@dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='a(ssss)')
def Calls(_self):
    '''Every BlueZ method call served: method, object path, the error answered ("" for success,
    "(pending)" while unanswered) and, for SetDiscoveryFilter, the filter given.'''
    return dbus.Array([dbus.Struct(entry, signature='ssss') for entry in CALLS],
                      signature='(ssss)')
