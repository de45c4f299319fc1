#!/usr/bin/env python3
"""libqorio from another language: loads libqorio.so.9 with the standard library's ctypes,
connects a unit that qorsim plays and opens one of its UART channels. Runs inside a lab:

    qorlab --veths 1 -- smoke_ctypes.py LIBQORIO QORSERVICE QORSIM
"""
import ctypes
import os
import subprocess
import sys
import time


def fail(message):
    sys.exit("smoke_ctypes: " + message)


if len(sys.argv) != 4 or os.environ.get("QORLAB") != "1":
    fail("run inside a lab: qorlab --veths 1 -- smoke_ctypes.py LIBQORIO QORSERVICE QORSIM")
library, service, sim = sys.argv[1:]
if subprocess.run([service]).returncode != 0:
    fail("qorservice did not start")
peer_if = os.environ["QORLAB_PEER_IFS"].split()[0]
subprocess.Popen(["qorlab-peer", "0", sim, "--unit", "ctu_uart2,02:00:00:00:04:01," + peer_if],
                 stdout=subprocess.DEVNULL)

lib = ctypes.CDLL(library)
u8p = ctypes.POINTER(ctypes.c_uint8)
u32p = ctypes.POINTER(ctypes.c_uint32)
lib.vn_connect.argtypes = [u8p, u32p, u32p, ctypes.c_int, u8p, ctypes.c_int]
lib.sio_init.argtypes = [u8p, ctypes.c_uint32]
lib.ser_open.argtypes = [u8p, ctypes.c_int, u8p]
for name in ("sio_init", "ser_open"):
    getattr(lib, name).restype = ctypes.c_uint
mac = (ctypes.c_uint8 * 6)(0x02, 0, 0, 0, 0x04, 0x01)
sio, ctu = ctypes.c_uint32(0), ctypes.c_uint32(0)
units = ctypes.create_string_buffer(10426376)  # a unit list: count, reserved, 128 unit records
# The search lists the unit within seconds of the start; until then it is empty.
deadline = time.monotonic() + 10
while (lib.vn_lib_init() != 0 or lib.vn_search_vn(units) != 0
       or lib.vn_connect(mac, ctypes.byref(sio), ctypes.byref(ctu), 0, None, 0) != 0):
    lib.vn_lib_free()
    if time.monotonic() > deadline:
        fail("the unit was never connected")
    time.sleep(0.2)
# The unit's first UART channel (controller version 5) through its channel port.
info = (ctypes.c_uint8 * 11)()
if lib.sio_init(mac, sio.value) != 0 or lib.ser_open(mac, 1, info) != 0 or info[0] != 5:
    fail("UART channel 1 did not open (controller version %d)" % info[0])
lib.vn_lib_free()
print("smoke_ctypes: connected, channel port %d, UART channel 1 open" % sio.value)
