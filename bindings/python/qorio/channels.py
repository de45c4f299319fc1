"""Channels of a connected unit: UART (Serial), DIO, AI, AO and MAI.

Each object wraps the family's C calls for one channel number; a call that returns non-zero
raises QorioError. Callbacks are Python callables: the module registers one C callback per
slot, keeps it alive until the unit's channel connection closes, and calls the Python
functions from the library's receive thread. An exception in a callback is printed and
dropped (it cannot cross the C library); keep callbacks short, and do not call channel
functions of the same unit from them (the library answers SIO_ERR_SEND).
"""
import ctypes
import queue
import struct
import sys
import threading
import traceback

from . import _lib


def _safe(fn):
    def run(*args):
        try:
            fn(*args)
        except Exception:  # a callback's fault must not end the library's receive thread
            traceback.print_exc(file=sys.stderr)
    return run


class _Channel:
    def __init__(self, unit, channel):
        if not 0 <= channel <= 63:
            raise ValueError("channels are 0..63")
        self.unit = unit
        self.channel = channel

    def _call(self, name, *args):
        self.unit.call(name, self.channel, *args)

    def _get(self, name, ctype, *args):
        out = ctype()
        self._call(name, *args, ctypes.byref(out))
        return out.value

    def _register(self, setter, cbtype, fn, *args):
        thunk = cbtype(_safe(fn))
        self._call(setter, *args, thunk)
        self.unit.keep(thunk)

    def _info(self, name, size):
        buf = (ctypes.c_uint8 * size)()
        self._call(name, buf)
        return bytes(buf)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        pass


def _vref_volts(word):
    """Volts of a Vref word assembled first byte most significant: the raw bytes read least
    significant first are (mantissa in bits 23..0, decimal exponent in 31..24), so C4 09 00 03
    is 2500 x 10^-3 = 2.5 V."""
    w = int.from_bytes(word.to_bytes(4, "big"), "little")
    return (w & 0xFFFFFF) * 10.0 ** -(w >> 24)


def _accessors(cls, family, table, indexed):
    """get_NAME / set_NAME methods of cls for every (NAME, getter type, setter type) of table;
    indexed: the calls take a bank or port first."""
    for name, out, _arg in table:
        def make(name=name, out=out):
            if indexed:
                def setter(self, index, value):
                    self._call("%s_set_%s" % (family, name), index, value)
            else:
                def setter(self, value):
                    self._call("%s_set_%s" % (family, name), value)
            setattr(cls, "set_" + name, setter)
            if out is None:
                return
            if indexed:
                def getter(self, index):
                    return self._get("%s_get_%s" % (family, name), out, index)
            else:
                def getter(self):
                    return self._get("%s_get_%s" % (family, name), out)
            setattr(cls, "get_" + name, getter)
        make()


class Serial(_Channel):
    """A UART channel, opened on creation (ser_open) and closed by close().

    Keyword arguments, when given, are applied with setting(): baud (index 0..17, 14 is
    115200), data_bits (0..3 for 5..8), parity, stop_bits, flow.
    """

    def __init__(self, unit, channel, **setting):
        super().__init__(unit, channel)
        buf = (ctypes.c_uint8 * 11)()
        self._call("ser_open", buf)
        self.info = bytes(buf)
        self.version = self.info[0]
        self._handlers = []
        self._handlers_lock = threading.Lock()
        self._received = queue.Queue()
        self._data_registered = False
        self._open = True
        if setting:
            self.setting(**setting)

    def setting(self, baud=14, data_bits=3, parity=0, stop_bits=1, flow=0):
        self._call("ser_setting", baud, data_bits, parity, stop_bits, flow)

    def write(self, data):
        data = bytes(data)
        for i in range(0, len(data), 1024):
            block = data[i:i + 1024]
            self._call("ser_write", (ctypes.c_uint8 * len(block))(*block), len(block))

    def _on_data(self, _mac, _channel, data, length):
        if length <= 0 or not data:
            return
        if self.version >= 4:  # (byte, status) pairs: status 0x00 good, 0x08 flagged
            raw = ctypes.string_at(data, 2 * length)
            payload, status = raw[0::2], raw[1::2]
        else:
            payload, status = ctypes.string_at(data, length), None
        self._received.put(payload)
        with self._handlers_lock:
            handlers = list(self._handlers)
        for fn, with_status in handlers:
            if with_status:
                _safe(fn)(payload, status)
            else:
                _safe(fn)(payload)

    def _ensure_data_callback(self):
        if not self._data_registered:
            self._register("ser_set_data_event_callback", _lib.SER_DATA_EVENT_CB, self._on_data)
            self._data_registered = True

    def on_data(self, fn, with_status=False):
        """fn(data) for every block received (with_status: fn(data, status), status the
        per-byte flags of controller versions 4 and 5 (0x00 good, 0x08 flagged), else None).
        Received blocks also stay queued for read()."""
        with self._handlers_lock:
            self._handlers.append((fn, with_status))
        self._ensure_data_callback()

    def read(self, size, timeout=2.0):
        """Up to size received bytes, waiting up to timeout for the first ones."""
        self._ensure_data_callback()
        out = b""
        try:
            out = self._received.get(timeout=timeout)
            while len(out) < size:
                out += self._received.get(timeout=timeout)
        except queue.Empty:
            pass
        if len(out) > size:  # keep the rest for the next read
            rest, out = out[size:], out[:size]
            with self._received.mutex:
                self._received.queue.appendleft(rest)
        return out

    def msr(self):
        return self._get("ser_get_msr", ctypes.c_uint8)

    def set_mcr(self, value):
        self._call("ser_set_mcr", value)

    def set_break(self, on):
        self._call("ser_set_break", 1 if on else 0)

    def set_event_ctrl(self, value):
        self._call("ser_set_event_ctrl", value)

    def on_msr(self, fn):
        """fn(msr) on a modem-status change."""
        self._register("ser_set_msr_event_callback", _lib.SER_MSR_CB, lambda m, c, msr: fn(msr))

    def on_lsr(self, fn):
        """fn(flags, count) on a line-status event."""
        self._register("ser_set_lsr_event_callback", _lib.SER_LSR_CB, lambda m, c, f, hi, lo: fn(f, hi << 8 | lo))

    def close(self):
        if self._open:
            self._open = False
            self._call("ser_close")


class Dio(_Channel):
    """A digital I/O channel. Values are bank-relative masks (bit 0 = the bank's first line)."""

    def info(self):
        """The DIO info record as a dict with a list of banks."""
        raw = self._info("dio_get_info", 648)
        out = {"version": raw[0], "number_of_banks": raw[1], "share_same_direction": raw[2],
               "sampling_clock_scale": raw[3], "system_clock": struct.unpack_from("<I", raw, 4)[0], "banks": []}
        for b in range(min(raw[1], 32)):
            e = 8 + 20 * b
            out["banks"].append({
                "index": raw[e], "number_of_ios": raw[e + 1], "flash_cap": raw[e + 2], "direction_cap": raw[e + 3],
                "edge_trigger_cap": raw[e + 4], "output_pin_config_cap": raw[e + 5],
                "output_pin_resistor": raw[e + 6], "direction": struct.unpack_from("<I", raw, e + 8)[0],
                "input_invert": struct.unpack_from("<I", raw, e + 12)[0], "input_event_mode": raw[e + 16],
                "sampling_clock": raw[e + 17], "output_pin_config": raw[e + 18]})
        return out

    def set_line(self, bank, line, value):
        self._call("dio_set_io_state", bank, line, 1 if value else 0)

    def get_line(self, bank, line):
        return (self.get_bank_state(bank) >> line) & 1

    def input_counter(self, bank, line):
        return self._get("dio_get_bank_io_input_counter_value", ctypes.c_uint32, bank, line)

    def reset_input_counters(self, bank, lines):
        self._call("dio_set_bank_input_counter_reset", bank, lines)

    def safe_value_timer(self):
        enable, timer = ctypes.c_uint8(), ctypes.c_uint8()
        self._call("dio_get_output_safe_value_timer", ctypes.byref(enable), ctypes.byref(timer))
        return enable.value, timer.value

    def set_safe_value_timer(self, enable, timer):
        self._call("dio_set_output_safe_value_timer", enable, timer)

    def on_line(self, bank, line, fn):
        """fn(changed, state) when the input line changes (a bank whose lines are all inputs)."""
        self._register("dio_set_io_event_callback", _lib.DIO_IO_CB, lambda m, c, b, l, ch, st: fn(ch, st),
                       bank, line)

    def on_bank(self, bank, fn):
        """fn(changed_mask, states_mask) after the bank's line callbacks."""
        self._register("dio_set_bank_event_callback", _lib.DIO_BANK_CB, lambda m, c, b, ch, st: fn(ch, st), bank)


_accessors(Dio, "dio", _lib.DIO_BANK_VALUES, True)


class Ai(_Channel):
    """An analog input channel."""

    def info(self):
        raw = self._info("ai_get_ai_info", 656)
        out = {"version": raw[0], "number_of_ports": raw[1], "resolution": raw[2], "input_types": raw[3],
               "max_gains": raw[4], "max_sampling_rate": struct.unpack_from("<I", raw, 8)[0],
               "vref": struct.unpack_from("<I", raw, 12)[0], "ports": []}
        out["vref_volts"] = _vref_volts(out["vref"])
        for p in range(min(raw[1], 32)):
            e = 16 + 20 * p
            divider, gain = struct.unpack_from("<II", raw, e + 4)
            upper, lower = struct.unpack_from("<HH", raw, e + 14)
            out["ports"].append({"index": raw[e], "sample_rate_divider": divider, "gain": gain,
                                 "logging_mode": raw[e + 12], "trigger_mode": raw[e + 13], "upper_trigger": upper,
                                 "lower_trigger": lower, "fifo_trigger_level": raw[e + 18]})
        return out

    def on_event(self, fn):
        """fn(event0, event1, value)."""
        self._register("ai_set_event_callback", _lib.AI_EVENT_CB, lambda m, c, e0, e1, v: fn(e0, e1, v))

    def on_data(self, fn):
        """fn(flag, first_sample) for every sample packet."""
        self._register("ai_set_data_callback", _lib.AI_DATA_CB, lambda m, c, flag, s: fn(flag, s))


_accessors(Ai, "ai", _lib.AI_CHANNEL_VALUES, False)
_accessors(Ai, "ai", _lib.AI_PORT_VALUES, True)


class Ao(_Channel):
    """An analog output channel."""

    def info(self):
        raw = self._info("ao_get_ao_info", 396)
        out = {"version": raw[0], "number_of_ports": raw[1], "resolution": raw[2], "max_gains": raw[3],
               "max_update_rate": struct.unpack_from("<I", raw, 4)[0], "vref": struct.unpack_from("<I", raw, 8)[0],
               "ports": []}
        out["vref_volts"] = _vref_volts(out["vref"])
        for p in range(min(raw[1], 32)):
            e = 12 + 12 * p
            out["ports"].append({"index": raw[e], "update_rate_divider": struct.unpack_from("<I", raw, e + 4)[0],
                                 "fifo_trigger_level": raw[e + 8], "gain": raw[e + 9]})
        return out

    def set_ports_enable(self, mask):
        self._call("ao_set_ports_enable", mask)

    def get_port_gain_control(self, port):
        return self._get("ao_get_port_gain_control", ctypes.c_uint8, port)

    def set_port_gain_control(self, port, gain):
        self._call("ao_set_port_gain_control", port, gain)

    def set_port_update_rate_divider(self, port, divider):
        self._call("ao_set_port_update_rate_divider", port, divider)

    def write(self, port, value):
        """One 16-bit output value for the port (sent without waiting for an answer)."""
        self._call("ao_set_data", port, value)


class Mai(_Channel):
    """A multi-function analog input channel; values are volts (or the input type's unit)."""

    def info(self):
        raw = self._info("mai_get_info", 536)
        out = {"version": raw[0], "fifo_size": struct.unpack_from("<I", raw, 4)[0], "fifo_type": raw[8],
               "mai_type": raw[9], "input_sources": raw[10], "number_of_ports": raw[11], "resolution": raw[12],
               "input_types": raw[13], "max_gains": raw[14], "vref": struct.unpack_from("<d", raw, 16)[0],
               "ports": []}
        for p in range(min(raw[11], 16)):
            e = 24 + 32 * p
            out["ports"].append({"index": raw[e], "mai_mode": raw[e + 1], "logging_mode": raw[e + 2],
                                 "trigger_mode": raw[e + 3], "input_type": raw[e + 24],
                                 "input_channel_select": raw[e + 25], "gain": raw[e + 27]})
        return out

    def set_calibration_value(self, value):
        self._call("mai_set_calibration_value", value)

    def set_type0_filter(self, port, value):
        self._call("mai_set_type0_filter", port, value)

    def set_port_upper_trigger_value(self, port, value):
        self._call("mai_set_port_upper_trigger_value", port, float(value))

    def set_port_lower_trigger_value(self, port, value):
        self._call("mai_set_port_lower_trigger_value", port, float(value))

    def on_event(self, fn):
        """fn(port, event, value), value calibrated."""
        self._register("mai_set_event_callback", _lib.MAI_EVENT_CB, lambda m, c, p, e, v: fn(p, e, v))

    def on_data(self, fn):
        """fn(port, value), value calibrated."""
        self._register("mai_set_data_callback", _lib.MAI_DATA_CB, lambda m, c, p, v: fn(p, v))


_accessors(Mai, "mai", _lib.MAI_CHANNEL_VALUES, False)
_accessors(Mai, "mai", _lib.MAI_PORT_VALUES, True)
