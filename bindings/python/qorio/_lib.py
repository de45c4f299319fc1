"""Loading libqorio.so.9 and declaring the prototypes of its C calls.

The library is found through QORIO_LIBRARY (a path), else through the system's loader. Every
call used by the module is declared here once, so a wrong argument type fails in Python instead
of reaching the library as garbage. Calls the loaded library does not export are left out; a
method that needs one raises QorioError with code ERR_MISSING_CALL.
"""
import ctypes
import os
import threading
import time

u8 = ctypes.c_uint8
u16 = ctypes.c_uint16
u32 = ctypes.c_uint32
c_int = ctypes.c_int
c_uint = ctypes.c_uint
c_double = ctypes.c_double
u8p = ctypes.POINTER(u8)
u16p = ctypes.POINTER(u16)
u32p = ctypes.POINTER(u32)
c_intp = ctypes.POINTER(c_int)
c_char_p = ctypes.c_char_p

# Callback types: each matches a typedef of qorio.h.
DISCONNECT_CB = ctypes.CFUNCTYPE(None, u8p)
SER_MSR_CB = ctypes.CFUNCTYPE(None, u8p, c_int, u8)
SER_LSR_CB = ctypes.CFUNCTYPE(None, u8p, c_int, u8, u8, u8)
SER_DATA_EVENT_CB = ctypes.CFUNCTYPE(None, u8p, c_int, u8p, c_int)
SER_DATA_CB = ctypes.CFUNCTYPE(None, u8p, c_int)
DIO_IO_CB = ctypes.CFUNCTYPE(None, u8p, c_int, c_int, c_int, u8, u8)
DIO_BANK_CB = ctypes.CFUNCTYPE(None, u8p, c_int, c_int, u32, u32)
AI_EVENT_CB = ctypes.CFUNCTYPE(None, u8p, c_int, u8, u8, u16)
AI_DATA_CB = ctypes.CFUNCTYPE(None, u8p, c_int, u8, u16)
MAI_EVENT_CB = ctypes.CFUNCTYPE(None, u8p, c_int, c_int, u8, c_double)
MAI_DATA_CB = ctypes.CFUNCTYPE(None, u8p, c_int, c_int, c_double)

# name: (result type, argument types). Channel calls all start with (mac, channel).
_MC = [u8p, c_int]
_PROTOTYPES = {
    # management
    "vn_lib_init": (c_int, []),
    "vn_lib_free": (c_int, []),
    "vn_get_service_connection_status": (c_int, []),
    "vn_get_version": (c_int, [ctypes.c_void_p]),
    "vn_get_version_info": (c_int, []),
    "vn_get_all_nic_info": (c_int, [ctypes.c_void_p]),
    "vn_search_vn": (c_int, [ctypes.c_void_p]),
    "vn_get_specific_vn_detail_info": (c_int, [u8p, ctypes.c_void_p]),
    "vn_mapping": (c_int, [u8p]),
    "vn_unmapping": (c_int, [u8p]),
    "vn_get_all_vn_mapping_info": (c_int, [ctypes.c_void_p]),
    "vn_connect": (c_int, [u8p, u32p, u32p, c_int, u8p, c_int]),
    "vn_disconnect": (c_int, [u8p]),
    "vn_get_all_vn_info_connected_by_host": (c_int, [ctypes.c_void_p]),
    "vn_set_disconnet_event_callback": (c_int, [u8p, DISCONNECT_CB]),
    # SIO core
    "sio_init": (c_uint, [u8p, u32]),
    "sio_free": (c_uint, [u8p]),
    "sio_get_connection_status": (c_uint, [u8p]),
    # UART
    "ser_open": (c_uint, _MC + [u8p]),
    "ser_close": (c_uint, _MC),
    "ser_setting": (c_uint, _MC + [c_int] * 5),
    "ser_write": (c_uint, _MC + [u8p, c_int]),
    "ser_get_msr": (c_uint, _MC + [u8p]),
    "ser_set_mcr": (c_uint, _MC + [c_int]),
    "ser_set_break": (c_uint, _MC + [c_int]),
    "ser_set_event_ctrl": (c_uint, _MC + [c_int]),
    "ser_set_msr_event_callback": (c_uint, _MC + [SER_MSR_CB]),
    "ser_set_lsr_event_callback": (c_uint, _MC + [SER_LSR_CB]),
    "ser_set_data_event_callback": (c_uint, _MC + [SER_DATA_EVENT_CB]),
    # DIO
    "dio_get_info": (c_uint, _MC + [u8p]),
    "dio_set_io_state": (c_uint, _MC + [c_int, c_int, c_int]),
    "dio_get_output_safe_value_timer": (c_uint, _MC + [u8p, u8p]),
    "dio_set_output_safe_value_timer": (c_uint, _MC + [c_int, c_int]),
    "dio_get_bank_io_input_counter_value": (c_uint, _MC + [c_int, c_int, u32p]),
    "dio_set_bank_input_counter_reset": (c_uint, _MC + [c_int, u32]),
    "dio_set_io_event_callback": (c_uint, _MC + [c_int, c_int, DIO_IO_CB]),
    "dio_set_bank_event_callback": (c_uint, _MC + [c_int, DIO_BANK_CB]),
    # AI
    "ai_get_ai_info": (c_uint, _MC + [u8p]),
    "ai_set_event_callback": (c_uint, _MC + [AI_EVENT_CB]),
    "ai_set_data_callback": (c_uint, _MC + [AI_DATA_CB]),
    # AO
    "ao_get_ao_info": (c_uint, _MC + [u8p]),
    "ao_set_ports_enable": (c_uint, _MC + [u16]),
    "ao_get_port_gain_control": (c_uint, _MC + [c_int, u8p]),
    "ao_set_port_gain_control": (c_uint, _MC + [c_int, c_int]),
    "ao_set_port_update_rate_divider": (c_uint, _MC + [c_int, u32]),
    "ao_set_data": (c_uint, _MC + [c_int, u16]),
    # MAI
    "mai_get_info": (c_uint, _MC + [u8p]),
    "mai_set_calibration_value": (c_uint, _MC + [u16]),
    "mai_set_port_upper_trigger_value": (c_uint, _MC + [c_int, c_double]),
    "mai_set_port_lower_trigger_value": (c_uint, _MC + [c_int, c_double]),
    "mai_set_type0_filter": (c_uint, _MC + [c_int, u16]),
    "mai_set_event_callback": (c_uint, _MC + [MAI_EVENT_CB]),
    "mai_set_data_callback": (c_uint, _MC + [MAI_DATA_CB]),
}

# Get/set pairs of the channel families, declared from small tables: (C name suffix, value
# type of the getter's out-parameter / the setter's argument, takes a bank or port first).
DIO_BANK_VALUES = [
    ("bank_state", u32, u32), ("bank_input_invert", u32, u32), ("bank_direction", u32, u32),
    ("bank_input_event_mode", u8, c_int), ("bank_sampling_clock", u8, c_int),
    ("bank_output_pin_config", u8, c_int), ("bank_output_initial_value", u32, u32),
    ("bank_output_safe_value", u32, u32), ("bank_input_latch_rising_edge", u32, u32),
    ("bank_input_latch_falling_edge", u32, u32),
    ("bank_input_counter_increment_rising_edge", u32, u32),
    ("bank_input_counter_increment_falling_edge", u32, u32),
]
AI_CHANNEL_VALUES = [("sample_enable", u8, c_int), ("data_enable", u8, c_int), ("event_enable", u8, c_int),
                     ("ports_enable", u16, u16), ("all_gain_control", u8, c_int)]
AI_PORT_VALUES = [("port_sample_rate_divider", u32, u32), ("port_gain_control", u8, c_int),
                  ("port_logging_mode", u8, c_int), ("port_trigger_mode", u8, c_int),
                  ("port_upper_trigger_value", u16, u16), ("port_lower_trigger_value", u16, u16),
                  ("port_fifo_trigger_value", u8, c_int)]
# MAI: (name, getter out type or None when the library has only the setter, setter type).
MAI_CHANNEL_VALUES = [("sample_enable", None, c_int), ("data_enable", None, c_int),
                      ("event_enable", None, c_int), ("ports_enable", u16, u16)]
MAI_PORT_VALUES = [("port_ai_mode", u8, c_int), ("logging_mode", u8, c_int), ("port_trigger_mode", u8, c_int),
                   ("type0_input_type", None, c_int), ("type0_input_select", None, c_int),
                   ("type0_pullup_resistor", None, c_int), ("type0_gain", None, c_int),
                   ("type1_input_type", None, c_int), ("type1_input_select", None, c_int),
                   ("type1_pga_enable", u8, c_int), ("type1_gain", u8, c_int)]


def _table_prototypes():
    protos = {}
    for name, out, arg in DIO_BANK_VALUES:
        protos["dio_get_" + name] = (c_uint, _MC + [c_int, ctypes.POINTER(out)])
        protos["dio_set_" + name] = (c_uint, _MC + [c_int, arg])
    for name, out, arg in AI_CHANNEL_VALUES:
        protos["ai_get_" + name] = (c_uint, _MC + [ctypes.POINTER(out)])
        protos["ai_set_" + name] = (c_uint, _MC + [arg])
    for name, out, arg in AI_PORT_VALUES:
        protos["ai_get_" + name] = (c_uint, _MC + [c_int, ctypes.POINTER(out)])
        protos["ai_set_" + name] = (c_uint, _MC + [c_int, arg])
    for name, out, arg in MAI_CHANNEL_VALUES:
        if out is not None:
            protos["mai_get_" + name] = (c_uint, _MC + [ctypes.POINTER(out)])
        protos["mai_set_" + name] = (c_uint, _MC + [arg])
    for name, out, arg in MAI_PORT_VALUES:
        if out is not None:
            protos["mai_get_" + name] = (c_uint, _MC + [c_int, ctypes.POINTER(out)])
        protos["mai_set_" + name] = (c_uint, _MC + [c_int, arg])
    return protos


class Library:
    """The loaded library with its declared calls as attributes."""

    def __init__(self, path=None):
        path = path or os.environ.get("QORIO_LIBRARY") or "libqorio.so.9"
        # CDLL (not PyDLL) releases the GIL during each call, so the library's receive thread
        # can run a Python callback while a call waits for its response.
        self.dll = ctypes.CDLL(path)
        self.path = path
        self.missing = set()
        protos = dict(_PROTOTYPES)
        protos.update(_table_prototypes())
        for name, (restype, argtypes) in protos.items():
            try:
                fn = getattr(self.dll, name)
            except AttributeError:
                self.missing.add(name)
                continue
            fn.restype = restype
            fn.argtypes = argtypes
            setattr(self, name, fn)
        self.users = 0
        self.users_lock = threading.Lock()

    def acquire(self, timeout):
        """vn_lib_init for the first user, then waits until the service connection is up.
        Returns 0 or the last failing code (nothing held then)."""
        with self.users_lock:
            deadline = time.monotonic() + timeout
            while True:
                rc = self.vn_lib_init()
                if rc == 0 and self.vn_get_service_connection_status() == 1:
                    self.users += 1
                    return 0
                if self.users == 0:
                    self.vn_lib_free()
                if time.monotonic() > deadline:
                    return rc or 104  # VN_ERR_NOT_CONNECTED
                time.sleep(0.1)

    def release(self):
        """vn_lib_free once the last user is gone."""
        with self.users_lock:
            self.users -= 1
            if self.users == 0:
                self.vn_lib_free()


_loaded = None
_load_lock = threading.Lock()


def load(path=None):
    """The process's one library (the C library keeps one service connection per process)."""
    global _loaded
    with _load_lock:
        if _loaded is None:
            _loaded = Library(path)
        elif path is not None and os.path.realpath(path) != os.path.realpath(_loaded.path):
            raise RuntimeError("libqorio is already loaded from " + _loaded.path)
        return _loaded
