"""The qorio module against qorservice and qorsim in a lab.

Run inside a lab (ctest does this), with the module on PYTHONPATH and the binaries named:

    QORIO_LIBRARY=.../libqorio.so.9 QORSERVICE=.../qorservice QORSIM=.../qorsim \\
        qorlab --veths 1 -- python3 -m unittest -v test_qorio
"""
import gc
import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import qorio

ALL = "02:00:00:00:0a:01"   # all_families: UART 1 (v4), DIO 2, AI 3, AO 4, MAI 11
UART = "02:00:00:00:0a:02"  # ctu_uart2: UARTs 1 and 2
svc = None
sim = None
control = None


class SimControl:
    """qorsim's control socket: one command, one answer line."""

    def __init__(self, path):
        deadline = time.monotonic() + 10
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.reader = self.sock.makefile("r")

    def __call__(self, command):
        self.sock.sendall((command + "\n").encode())
        answer = self.reader.readline().strip()
        if not answer.startswith("ok"):
            raise AssertionError("qorsim: %s -> %s" % (command, answer))
        return answer


def eventually(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def setUpModule():
    global svc, sim, control
    if os.environ.get("QORLAB") != "1":
        raise unittest.SkipTest("needs a lab: qorlab --veths 1 -- python3 -m unittest test_qorio")
    if subprocess.run([os.environ["QORSERVICE"]]).returncode != 0:
        raise RuntimeError("qorservice did not start")
    path = os.path.join(tempfile.mkdtemp(), "qorsim.sock")
    peer = os.environ["QORLAB_PEER_IFS"].split()[0]
    sim = subprocess.Popen(["qorlab-peer", "0", os.environ["QORSIM"], "--control", path,
                            "--unit", "all_families,%s,%s" % (ALL, peer), "--unit", "ctu_uart2,%s,%s" % (UART, peer)],
                           stdout=subprocess.DEVNULL)
    control = SimControl(path)
    svc = qorio.Service()


def tearDownModule():
    if svc is not None:
        svc.close()
    if sim is not None:
        sim.terminate()
        sim.wait(10)


class ServiceAndUnit(unittest.TestCase):
    def test_nics_search_detail_and_errors(self):
        self.assertIn("veth0", [n.ifname for n in svc.nics()])
        found = svc.wait_for(ALL)
        self.assertEqual((found.model, found.available_channels), ("VN-ALL", 14))
        types = {c.number: c.type for c in svc.detail(ALL).channels}
        self.assertEqual([types[n] for n in (0, 1, 2, 3, 4, 11)], [0, 1, 3, 5, 6, 10])
        with self.assertRaises(qorio.QorioError) as err:
            svc.detail("02:00:00:00:0a:7f")
        self.assertEqual((err.exception.code, err.exception.name), (32, "VN_NOT_FOUND"))
        with self.assertRaises(qorio.QorioError) as err:
            svc.connect("02:00:00:00:0a:7f")
        self.assertEqual(err.exception.call, "vn_connect")

    def test_context_managers_close_what_they_opened(self):
        svc.wait_for(UART)
        with svc.connect(UART) as unit:
            self.assertTrue(unit.channel_connected)
            self.assertIn(UART, [u.mac for u in svc.connected()])
            with unit.serial(2) as uart:
                self.assertEqual(len(uart.info), 11)
            uart.close()  # closed already by the with block: does nothing
        self.assertNotIn(UART, [u.mac for u in svc.connected()])
        with self.assertRaises(qorio.QorioError) as err:
            unit.serial(1)
        self.assertEqual(err.exception.name, "SIO_ERR_NO_CONNECTION")


class Channels(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        svc.wait_for(ALL)
        cls.unit = svc.connect(ALL)

    @classmethod
    def tearDownClass(cls):
        cls.unit.close()

    def test_serial_round_trip(self):
        control("uart %s 1 loopback" % ALL)
        seen = []
        with self.unit.serial(1, baud=14, data_bits=3) as uart:
            self.assertEqual(uart.version, 4)
            uart.on_data(lambda data, status: seen.append(status), with_status=True)
            message = bytes(range(256)) * 4 + b"qorio"
            uart.write(message)
            self.assertEqual(uart.read(len(message), timeout=5), message)
            # Controller version 4 delivers (byte, status) pairs: a status for every byte.
            self.assertEqual(sum(len(s) for s in seen), len(message))
            self.assertTrue(set(b"".join(seen)) <= {0x00, 0x08})

    def test_dio_line_callbacks_before_the_bank_callback(self):
        dio = self.unit.dio(2)
        self.assertEqual([b["number_of_ios"] for b in dio.info()["banks"]], [8, 8])
        events, done = [], threading.Event()
        dio.on_line(0, 0, lambda changed, state: events.append(("line0", changed, state)))
        dio.on_line(0, 1, lambda changed, state: events.append(("line1", changed, state)))
        dio.on_bank(0, lambda changed, states: (events.append(("bank", changed, states)), done.set()))
        gc.collect()  # the module, not the caller, keeps the callbacks alive
        control("dio-in %s 2 0x2" % ALL)
        self.assertTrue(done.wait(5))
        self.assertEqual(events, [("line0", 0, 0), ("line1", 1, 1), ("bank", 2, 2)])
        # Callbacks only on banks of inputs; a line beyond the bank: both refused with a code.
        dio.set_bank_direction(1, 0xFF)
        with self.assertRaises(qorio.QorioError) as err:
            dio.on_line(1, 0, print)
        self.assertEqual((err.exception.code, err.exception.name), (112, "DIO_ERR_BANK_HAS_OUTPUTS"))
        dio.set_line(1, 3, 1)
        self.assertEqual(dio.get_line(1, 3), 1)
        with self.assertRaises(qorio.QorioError) as err:
            dio.set_line(1, 20, 1)
        self.assertEqual(err.exception.name, "NO_SUCH_LINE")

    def test_ai_samples_reach_the_callback_in_order(self):
        ai = self.unit.ai(3)
        samples = []
        ai.on_data(lambda flag, sample: samples.append((flag, sample)))
        ai.set_ports_enable(0x0001)
        ai.set_sample_enable(1)
        ai.set_data_enable(1)
        self.assertEqual((ai.get_ports_enable(), ai.get_sample_enable()), (1, 1))
        control("ai-stream %s 3 200 1000" % ALL)
        self.assertTrue(eventually(lambda: len(samples) >= 200), "%d samples" % len(samples))
        # Packet k starts with k as 32 bits little-endian: its first sample, most significant
        # byte first, is (k & 0xFF) << 8 | k >> 8.
        self.assertEqual(samples, [(0, (k & 0xFF) << 8 | k >> 8) for k in range(200)])

    def test_channel_errors_are_exceptions(self):
        with self.assertRaises(ValueError):
            self.unit.dio(64)
        with self.assertRaises(qorio.QorioError) as err:
            self.unit.ai(2).info()  # a DIO channel
        self.assertNotEqual(err.exception.code, 0)
        self.assertIn("ai_get_ai_info", str(err.exception))


if __name__ == "__main__":
    unittest.main()
