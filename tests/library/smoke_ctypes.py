#!/usr/bin/env python3
"""libqorio from another language: loads libqorio.so.9 with the standard library's ctypes,
initialises, searches and connects a unit that qorsim plays and opens one of its UART
channels. Runs inside a lab:

    qorlab --veths 1 -- smoke_ctypes.py LIBQORIO QORSERVICE QORSIM
"""
import ctypes
import os
import struct
import subprocess
import sys
import time

UNIT_LIST_SIZE = 10426376  # count, reserved, 128 unit records
UNIT_RECORD_SIZE = 81456
UNIT_MAC = bytes([0x02, 0, 0, 0, 0x04, 0x01])


def fail(message):
    print("smoke_ctypes: " + message)
    sys.exit(1)


def main():
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
    lib.vn_connect.argtypes = [u8p, ctypes.POINTER(ctypes.c_uint32), ctypes.POINTER(ctypes.c_uint32),
                               ctypes.c_int, u8p, ctypes.c_int]
    deadline = time.monotonic() + 5
    while lib.vn_lib_init() != 0 or lib.vn_get_service_connection_status() != 1:
        lib.vn_lib_free()
        if time.monotonic() > deadline:
            fail("the library never connected to the service")
        time.sleep(0.2)

    units = ctypes.create_string_buffer(UNIT_LIST_SIZE)
    deadline = time.monotonic() + 10
    found = False
    while not found:
        if lib.vn_search_vn(units) == 0:
            count = struct.unpack_from("<I", units.raw, 0)[0]
            macs = [units.raw[8 + i * UNIT_RECORD_SIZE:8 + i * UNIT_RECORD_SIZE + 6] for i in range(count)]
            channels = [units.raw[8 + i * UNIT_RECORD_SIZE + 36] for i in range(count)]
            found = any(m == UNIT_MAC and c == 3 for m, c in zip(macs, channels))
        if not found:
            if time.monotonic() > deadline:
                fail("the search never listed the unit")
            time.sleep(0.2)

    mac = (ctypes.c_uint8 * 6)(*UNIT_MAC)
    sio, ctu = ctypes.c_uint32(0), ctypes.c_uint32(0)
    rc = lib.vn_connect(mac, ctypes.byref(sio), ctypes.byref(ctu), 0, None, 0)
    if rc != 0:
        fail("vn_connect returned %d" % rc)
    if not 50001 <= ctu.value <= 50255 and ctu.value != 0:
        fail("implausible configuration port %d" % ctu.value)
    # The unit's first UART channel (controller version 5) through its channel port.
    lib.sio_init.argtypes = [u8p, ctypes.c_uint32]
    lib.sio_init.restype = ctypes.c_uint
    lib.ser_open.argtypes = [u8p, ctypes.c_int, u8p]
    lib.ser_open.restype = ctypes.c_uint
    lib.sio_free.argtypes = [u8p]
    lib.sio_free.restype = ctypes.c_uint
    rc = lib.sio_init(mac, sio.value)
    if rc != 0:
        fail("sio_init returned %d" % rc)
    info = (ctypes.c_uint8 * 11)()
    rc = lib.ser_open(mac, 1, info)
    if rc != 0 or info[0] != 5:
        fail("ser_open returned %d, controller version %d" % (rc, info[0]))
    if lib.sio_free(mac) != 0:
        fail("sio_free failed")
    lib.vn_lib_free()
    print("smoke_ctypes: connected, channel port %d, configuration port %d, UART channel 1 open (baud index %d)"
          % (sio.value, ctu.value, info[1]))


main()
