"""The service connection (Service) and a connected unit (Unit)."""
import ctypes
import struct
import threading
import time
from collections import namedtuple

from . import _lib
from .errors import ERR_MISSING_CALL, QorioError, check

# Record sizes and offsets of qorio.h.
_NIC_LIST_SIZE = 4 + 32 * 71
_UNIT_RECORD_SIZE = 81456
_UNIT_LIST_SIZE = 8 + 128 * _UNIT_RECORD_SIZE
_CHL_RECORD_SIZE = 1272
_MAPPING_RECORD_SIZE = 140
_MAPPING_LIST_SIZE = 4 + 128 * _MAPPING_RECORD_SIZE
_VERSION_SIZE = 95

Nic = namedtuple("Nic", "index mac ifname")
Channel = namedtuple("Channel", "number type tty_minor")
UnitInfo = namedtuple("UnitInfo", "mac model mode password_enabled link_status connected_host mapping_status "
                                  "available_channels version ctu_port sio_port channels")
Mapping = namedtuple("Mapping", "mac pairs")  # pairs: (channel, tty minor or None)


def mac_bytes(mac):
    """A MAC as 6 bytes from bytes, a list of ints or "02:00:00:00:04:01"."""
    if isinstance(mac, str):
        parts = mac.replace("-", ":").split(":")
        mac = bytes(int(p, 16) for p in parts) if len(parts) == 6 else b""
    mac = bytes(mac)
    if len(mac) != 6:
        raise ValueError("a MAC has 6 bytes")
    return mac


def mac_text(mac):
    return ":".join("%02x" % b for b in mac)


def _cstr(raw):
    return raw.split(b"\0", 1)[0].decode("latin-1")


def _parse_unit(raw, off, with_channels):
    mac, model = raw[off:off + 6], _cstr(raw[off + 6:off + 26])
    mode, pwd, link = raw[off + 26], raw[off + 27], raw[off + 28]
    host, mapping, avail = raw[off + 29:off + 35], raw[off + 35], raw[off + 36]
    major, minor = raw[off + 37], raw[off + 38]
    ctu_port, sio_port = struct.unpack_from("<II", raw, off + 40)
    channels = []
    if with_channels:
        for i in range(min(avail, 64)):
            c = off + 48 + i * _CHL_RECORD_SIZE
            channels.append(Channel(raw[c], raw[c + 1], raw[c + 2]))
    return UnitInfo(mac_text(mac), model, mode, pwd, link, mac_text(host), mapping, avail,
                    (major, minor), ctu_port, sio_port, channels)


def _parse_unit_list(raw):
    count = min(struct.unpack_from("<I", raw, 0)[0], 128)
    return [_parse_unit(raw, 8 + i * _UNIT_RECORD_SIZE, False) for i in range(count)]


class Service:
    """libqorio's connection to qorservice: init on creation, free on close().

    >>> with Service() as svc:
    ...     unit = svc.connect(svc.wait_for("02:00:00:00:04:01").mac)
    """

    def __init__(self, library=None, timeout=5.0):
        self.lib = _lib.load(library)
        self._units = {}
        self._lock = threading.Lock()
        self._open = False
        check(self.lib.acquire(timeout), "vn_lib_init", "mng")
        self._open = True

    def _call(self, name, *args, table="mng"):
        fn = getattr(self.lib, name, None)
        if fn is None:
            raise QorioError(ERR_MISSING_CALL, name, table)
        check(fn(*args), name, table)

    @staticmethod
    def _mac(mac):
        return (ctypes.c_uint8 * 6)(*mac_bytes(mac))

    def close(self):
        """Closes every unit opened here, then the library."""
        if not self._open:
            return
        with self._lock:
            units = list(self._units.values())
        for unit in units:
            try:
                unit.close()
            except QorioError:
                pass  # a unit lost meanwhile cannot be disconnected; the rest still close
        self._open = False
        self.lib.release()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def connected_to_service(self):
        return self.lib.vn_get_service_connection_status() == 1

    def version(self):
        buf = ctypes.create_string_buffer(_VERSION_SIZE)
        self._call("vn_get_version", buf)
        raw = buf.raw
        return {"service": _cstr(raw[0:15]), "library": _cstr(raw[15:30]), "tty_driver": _cstr(raw[30:94]),
                "tty_driver_started": raw[94]}

    def nics(self):
        buf = ctypes.create_string_buffer(_NIC_LIST_SIZE)
        self._call("vn_get_all_nic_info", buf)
        raw = buf.raw
        count = min(struct.unpack_from("<I", raw, 0)[0], 32)
        return [Nic(raw[4 + i * 71], mac_text(raw[5 + i * 71:11 + i * 71]), _cstr(raw[11 + i * 71:75 + i * 71]))
                for i in range(count)]

    def search(self):
        """The units found on every interface; [] when there are none."""
        buf = ctypes.create_string_buffer(_UNIT_LIST_SIZE)
        rc = self.lib.vn_search_vn(buf)
        if rc == 32:
            return []
        check(rc, "vn_search_vn", "mng")
        return _parse_unit_list(buf.raw)

    def wait_for(self, mac, timeout=10.0):
        """Searches until the unit is listed; QorioError 32 (not found) after timeout."""
        want = mac_text(mac_bytes(mac))
        deadline = time.monotonic() + timeout
        while True:
            for unit in self.search():
                if unit.mac == want:
                    return unit
            if time.monotonic() > deadline:
                raise QorioError(32, "vn_search_vn", "mng")
            time.sleep(0.2)

    def detail(self, mac):
        """The unit with its mode, ports and channels."""
        buf = ctypes.create_string_buffer(_UNIT_RECORD_SIZE)
        self._call("vn_get_specific_vn_detail_info", self._mac(mac), buf)
        return _parse_unit(buf.raw, 0, True)

    def connected(self):
        buf = ctypes.create_string_buffer(_UNIT_LIST_SIZE)
        rc = self.lib.vn_get_all_vn_info_connected_by_host(buf)
        if rc == 32:
            return []
        check(rc, "vn_get_all_vn_info_connected_by_host", "mng")
        return _parse_unit_list(buf.raw)

    def map(self, mac):
        self._call("vn_mapping", self._mac(mac))

    def unmap(self, mac):
        self._call("vn_unmapping", self._mac(mac))

    def mappings(self):
        buf = ctypes.create_string_buffer(_MAPPING_LIST_SIZE)
        rc = self.lib.vn_get_all_vn_mapping_info(buf)
        if rc == 32:
            return []
        check(rc, "vn_get_all_vn_mapping_info", "mng")
        raw = buf.raw
        out = []
        for i in range(min(struct.unpack_from("<I", raw, 0)[0], 128)):
            off = 4 + i * _MAPPING_RECORD_SIZE
            n = min(struct.unpack_from("<I", raw, off + 8)[0], 64)
            pairs = [(raw[off + 12 + 2 * k], None if raw[off + 13 + 2 * k] == 0xFF else raw[off + 13 + 2 * k])
                     for k in range(n)]
            out.append(Mapping(mac_text(raw[off:off + 6]), pairs))
        return out

    def connect(self, mac, password=None):
        """Connects the unit and opens its channel connection; returns a Unit (a context
        manager that disconnects it again)."""
        m = self._mac(mac)
        sio, ctu = ctypes.c_uint32(0), ctypes.c_uint32(0)
        if password is None:
            rc = self.lib.vn_connect(m, ctypes.byref(sio), ctypes.byref(ctu), 0, None, 0)
        else:
            pwd = password.encode() if isinstance(password, str) else bytes(password)
            rc = self.lib.vn_connect(m, ctypes.byref(sio), ctypes.byref(ctu), 1,
                                     (ctypes.c_uint8 * max(len(pwd), 1))(*pwd), len(pwd))
        check(rc, "vn_connect", "mng")
        unit = Unit(self, mac_bytes(mac), sio.value, ctu.value)
        try:
            check(self.lib.sio_init(m, sio.value), "sio_init")
        except QorioError:
            self.lib.vn_disconnect(m)
            raise
        with self._lock:
            self._units[unit.mac] = unit
        return unit

    def disconnect(self, mac):
        """Disconnects a unit (closing its Unit when it was connected here)."""
        with self._lock:
            unit = self._units.get(mac_text(mac_bytes(mac)))
        if unit is not None:
            unit.close()
        else:
            self._call("vn_disconnect", self._mac(mac))

    def _forget(self, unit):
        with self._lock:
            self._units.pop(unit.mac, None)


class Unit:
    """A connected unit: its channels by family, and close() (sio_free, then disconnect)."""

    def __init__(self, service, mac, sio_port, ctu_port):
        self.service = service
        self.lib = service.lib
        self._mac_bytes = mac
        self.mac = mac_text(mac)
        self.sio_port = sio_port
        self.ctu_port = ctu_port
        self._cmac = (ctypes.c_uint8 * 6)(*mac)
        self._keep = []  # ctypes callbacks the library may call until sio_free
        self._keep_lock = threading.Lock()
        self._open = True

    @property
    def cmac(self):
        return self._cmac

    def keep(self, thunk):
        """Keeps a registered ctypes callback alive as long as the connection."""
        with self._keep_lock:
            self._keep.append(thunk)

    def call(self, name, *args):
        """Calls a channel function with this unit's MAC first; raises on a non-zero result."""
        fn = getattr(self.lib, name, None)
        if fn is None:
            raise QorioError(ERR_MISSING_CALL, name)
        check(fn(self._cmac, *args), name)

    def serial(self, channel, **setting):
        from .channels import Serial
        return Serial(self, channel, **setting)

    def dio(self, channel):
        from .channels import Dio
        return Dio(self, channel)

    def ai(self, channel):
        from .channels import Ai
        return Ai(self, channel)

    def ao(self, channel):
        from .channels import Ao
        return Ao(self, channel)

    def mai(self, channel):
        from .channels import Mai
        return Mai(self, channel)

    def on_disconnect(self, fn):
        """fn(mac_text) when the service reports the unit lost; runs on the library's thread."""
        thunk = _lib.DISCONNECT_CB(lambda mac: fn(mac_text(bytes(mac[0:6]))))
        check(self.lib.vn_set_disconnet_event_callback(self._cmac, thunk), "vn_set_disconnet_event_callback", "mng")
        # The management connection outlives the unit's, so this one is kept with the service.
        self.service._disconnect_callbacks = getattr(self.service, "_disconnect_callbacks", []) + [thunk]

    @property
    def channel_connected(self):
        return self.lib.sio_get_connection_status(self._cmac) == 1

    def close(self):
        """Closes the channel connection (its callbacks end) and disconnects the unit."""
        if not self._open:
            return
        rc = self.lib.sio_free(self._cmac)
        if rc == 98:  # called from one of the unit's own callbacks: nothing was closed
            raise QorioError(rc, "sio_free")
        self._open = False  # 0, or 80 when the library already freed a lost unit's connection
        with self._keep_lock:
            self._keep.clear()
        rc = self.lib.vn_disconnect(self._cmac)
        self.service._forget(self)
        check(rc, "vn_disconnect", "mng")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
