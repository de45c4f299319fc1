#!/usr/bin/env python3
"""The console's configuration menu on a pseudo-terminal against the real qorservice and two
qorsim units, in one lab (qorlab --veths 1 -- test_console_config.py; binaries from QORCONSOLE,
QORSERVICE, QORSIM). One session walks a table of steps: what is typed, the whole screen shown
until the console waits for a key again, and what the unit must have stored."""

import os
import pty
import re
import select
import socket
import struct
import subprocess
import sys
import termios
import time
import zlib

CLEAR, MAIN, SUB = "<CLEAR>", "d[#_#]b > CMD ? ", "d[#_#]b >> CMD ? "
MACP, SAY = "d[#_#]b : mac (e.g. x0012f3a4b5c6)    ? x", "\nd[#_#]b : "
SUBMENU = (">>----------------------------------<<\n    A : set mac address\n    B : set device name\n"
           "    C : set password\n    D : store UART setting to flash\n    E : store DIO setting to flash\n"
           "    F : update firmware\n\n    Q : quit\n>>----------------------------------<<\n\n")
NAME_ASK = ("d[#_#]b : ControlUnit Version 0, maximum 20 byte\nd[#_#]b : ControlUnit Version 1, maximum 64 byte\n"
            "d[#_#]b : device name                 ? ")
SETTING_ASK = "d[#_#]b : 0x00->disable, 0x01->enable\nd[#_#]b : password setting (1 byte)   ? x"
PWD_ASK = "d[#_#]b : password (max 32 byte)      ? "
REBOOT = "d[#_#]b : VN will reboot and receive disconnect event in a while.\n          Back to main menu\n"
# A unit loss the service may report meanwhile is not the menu's output.
EVENT = re.compile(re.escape(CLEAR) + r"\nd\[#_#\]b : ##### Receive VN \([0-9a-f:]{17}\) disconnect event\. #####\n\n")
CFG1, UART2 = "020000000021", "020000000023"
UNITS = {CFG1: "ctu_config", UART2: "ctu_uart2"}


def colons(mac):
    return ":".join(mac[i:i + 2] for i in range(0, 12, 2))


def eventually(probe, what, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            value = probe()
            if value:
                return value
        except OSError:
            pass
        time.sleep(0.05)
    sys.exit("never: " + what)


class Console:
    """qorconsole on a pty; its screen as text, "\\r\\n" folded and a clear shown as <CLEAR>."""

    def __init__(self, path):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ["TERM"] = "xterm"
            os.execv(path, [path])
        self.raw, self.step, self.sent = b"", 0, 0  # where the step and the last input began

    def text(self):
        t = re.sub(rb"(?:\x1b\[[0-9;?]*[A-Za-z])+", CLEAR.encode(), self.raw)
        return t.replace(b"\r\n", b"\n").decode("latin-1")

    def wait(self, done, timeout=20):
        deadline = time.monotonic() + timeout
        while not done(self.text()[self.sent:]):
            if time.monotonic() > deadline:
                sys.exit("console stuck; it showed:\n" + self.text()[self.step:])
            if select.select([self.fd], [], [], 0.01)[0]:
                self.raw += os.read(self.fd, 65536)

    def key_read(self):
        return not termios.tcgetattr(self.fd)[3] & termios.ICANON

    def type(self, data):
        # A key once the console reads single keys (the terminal would hold it otherwise), a line
        # once its prompt is shown (so the echo follows the prompt).
        if len(data) == 1:
            self.wait(lambda t: self.key_read())
        else:
            self.wait(lambda t: t.endswith(("? ", "? x")))
            data += "\n"
        self.sent = len(self.text())
        os.write(self.fd, data.encode("latin-1"))

    def screen(self, ends=(MAIN, SUB)):
        self.wait(lambda t: t.endswith(ends) and self.key_read())
        text = self.text()
        shown, self.step = text[self.step:], len(text)
        self.sent = self.step
        return shown


def sim(command):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect("/run/qorsim.sock")
        s.sendall(command.encode() + b"\n")
        line = s.makefile().readline()
    return line if line.startswith("ok") else sys.exit("qorsim: %s: %s" % (command, line))


def stored(mac, field, want=None):
    """A check: the unit's `show` field equals want (None: holds something)."""
    def check():
        got = re.search(r" %s=(\S+)" % field, sim("show " + colons(mac))).group(1)
        if got != want and (want is not None or got == "-"):
            sys.exit("%s of %s is %s, not %s" % (field, mac, got, want))
    return check


def firmware(path, model, size=512):
    image = bytes((i * 31 + 1) & 0xFF for i in range(size))
    head = bytearray(128)
    head[7:12] = struct.pack(">IB", 3, 1)  # checksum kind 3 (the image's CRC), advance mode
    head[12:12 + len(model)] = model.encode()
    head[44:49] = struct.pack(">IB", size, 2)
    head[49:53] = struct.pack("<I", zlib.crc32(image))
    with open(path, "wb") as f:
        f.write(bytes(head) + image)


def units_listed():
    with socket.create_connection(("127.0.0.1", 50000), timeout=3) as s:
        s.sendall(struct.pack("<B3xHHI", 1, 5, 0, 0))  # search by all NICs
        data = b""
        while len(data) < 12 or len(data) < 12 + struct.unpack("<I", data[8:12])[0]:
            data += s.recv(65536) or b"!"
    return (len(data) - 12) // 28


# Step builders: (typed, screen, check).
def entry(mac):
    return ["n", mac], "\n" + MACP + mac + "\n" + CLEAR + SUBMENU + SUB


def connect(mac, port):
    return ["j", mac, "00"], ("\n" + MACP + mac + "\nd[#_#]b : 0x00->NO, 0x01->YES\n"
                              "d[#_#]b : password request (1 byte)   ? x00\n" + SAY + "Waitting ..." + SAY +
                              "Connect ok (CTU tcp port:%d, SIO tcp port:*).\n\n" % port + MAIN)


def result(ok, fail, status):
    return ("\n" + fail + "\n          CTU status : %s\n\n" % status if status else "\n" + ok) + SUB


def name(text, status=None):
    return ["b", text], "\n" + NAME_ASK + text + "\n" + result(
        "d[#_#]b : Set VN device name ok.\n", "d[#_#]b : Set VN device name fail.", status)


def store(key, what, status=None):
    return [key], "\n" + result("d[#_#]b : Store VN %s setting to flash ok.\n" % what,
                                "d[#_#]b : Store VN %s setting to flash fail." % what, status)


def password(setting, pwd=None, status=None, refusal=None):
    typed = ["c", setting] + ([pwd] if pwd else [])
    screen = "\n" + SETTING_ASK + setting + "\n" + (PWD_ASK + pwd + "\n" if pwd else "")
    return typed, screen + (SAY + refusal + "\n" + SUB if refusal else result(
        "d[#_#]b : Set VN password ok.\n", "d[#_#]b : Set VN password fail.", status))


def update(path, status=None, progress=(), end=""):
    screen = "\n" + "d[#_#]b : firmware file (include path)? " + path + "\n" + SAY + "Downloading ..."
    if status:
        return ["f", path], screen + "\n\nd[#_#]b : Set firmware file and update fail.\n" \
            "          CTU status : %s\n\n" % status + SUB
    return ["f", path], (screen + SAY + "Download ok.\n" +
                         "".join("d[#_#]b : Programming %d%% ok.\n" % p for p in progress) + end)


def main():
    subprocess.Popen(["qorlab-peer", "0", os.environ["QORSIM"], "--control", "/run/qorsim.sock"] +
                     sum((["--unit", "%s,%s,p0" % (p, colons(m))] for m, p in UNITS.items()), []),
                     stdout=subprocess.DEVNULL)
    eventually(lambda: os.path.exists("/run/qorsim.sock"), "qorsim's control socket")
    # The daemon closes its standard error: its sanitizer runtimes (if built in) report to files.
    report = "log_path=/var/log/qorservice-sanitizer"
    subprocess.run([os.environ["QORSERVICE"]], check=True, timeout=20, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, ASAN_OPTIONS=report, UBSAN_OPTIONS=report, TSAN_OPTIONS=report))
    eventually(lambda: units_listed() >= len(UNITS), "all units listed")
    firmware("/run/fw_cfg1.bin", "VN-CFG1")
    cfg1_firmware = lambda *settings: lambda: [sim("ctu-firmware %s %s" % (colons(CFG1), s)) for s in settings]
    # The next command the unit completes fails with this code; which status a unit's answer
    # gets is the service's, and proven by its CTU tests: here each entry shows one failure.
    fail_next = lambda mac, code: lambda: sim("ctu-event %s code %d" % (colons(mac), code))

    steps = [
        (["n", "0200"], "\n" + MACP + "0200\n" + SAY + "VN mac data invalid.\n" + MAIN),
        connect(CFG1, 50001),
        connect(UART2, 50002),
        # Every entry: the console's refusals, a failure the unit reports, then success.
        entry(CFG1),
        (["?"], "\n" + SUBMENU + SUB),
        (["z"], "\n\n" + SUB),
        (["b", "n" * 65], "\n" + NAME_ASK + "n" * 65 + "\n" + SAY + "VN device name data invalid.\n" + SUB,
         fail_next(CFG1, 2)),
        name("Old-2", "TX_CMD_FAIL"),
        name("n" * 64) + (stored(CFG1, "ctu-name", "6e" * 64),),
        password("02", refusal="Password setting invalid."),
        password("01", "p" * 33, refusal="Password data invalid.") + (fail_next(CFG1, 15),),
        password("01", "secret", status="UNSUPPORT_COMMAND"),
        password("01", "secret") + (stored(CFG1, "ctu-password", b"secret".hex()),),
        password("00") + (stored(CFG1, "ctu-password", "-"), fail_next(CFG1, 2)),
        store("d", "UART", "TX_CMD_FAIL"),
        store("D", "UART") + (stored(CFG1, "ctu-flash-uart"), fail_next(CFG1, 2)),
        store("e", "DIO", "TX_CMD_FAIL"),
        store("E", "DIO") + (stored(CFG1, "ctu-flash-dio"),),
        update("/run/missing.bin", "FIRMWARE_FILE_OPEN_FAIL") + (cfg1_firmware("steps 2", "end fail"),),
        update("/run/fw_cfg1.bin", progress=(10, 20), end="d[#_#]b : Programming 30% fail.\n\n" + SUB) + (
            cfg1_firmware("steps 10", "end ok"),),
        # Ten steps: 10% .. 90% are shown, the tenth event is the finish.
        update("/run/fw_cfg1.bin", progress=range(10, 100, 10), end="d[#_#]b : Programming finish.\n" + REBOOT + MAIN),
        # A MAC change: refused input, the unit's failure, then success and back to the main menu.
        entry(UART2),
        (["a", "0200"], "\n" + MACP + "0200\n" + SAY + "VN mac data invalid.\n" + SUB, fail_next(UART2, 2)),
        (["a", "020000000033"], "\n" + MACP + "020000000033\n\nd[#_#]b : Set VN mac address fail.\n"
         "          CTU status : TX_CMD_FAIL\n\n" + SUB),
        (["A", "020000000033"], "\n" + MACP + "020000000033\n\nd[#_#]b : Set VN mac address ok.\n" + REBOOT + MAIN,
         lambda: eventually(lambda: "02:00:00:00:00:33," in sim("list"), "a reboot under the new MAC")),
    ]

    c = Console(os.environ["QORCONSOLE"])
    c.screen()
    for number, (typed, want, *check) in enumerate(steps, 1):
        for t in typed:
            c.type(t)
        got = re.sub(r"SIO tcp port:\d+", "SIO tcp port:*", EVENT.sub("", c.screen()))
        if got != want:
            sys.exit("step %d %r:\nwant %r\ngot  %r" % (number, typed, want, got))
        for f in check:
            f()
    c.type("q")
    c.screen(ends=("Enter key to exit program.",))
    c.type("\n")
    exited = []
    eventually(lambda: exited.append(os.waitpid(c.pid, os.WNOHANG)) or exited[-1][0], "the console's exit")
    status = os.waitstatus_to_exitcode(exited[-1][1])
    reports = [f for f in os.listdir("/var/log") if f.startswith("qorservice-sanitizer")]
    if status != 0 or reports:
        sys.exit("console exit status %d, service sanitizer reports %s" % (status, reports))
    print("PASS configuration menu, %d steps" % len(steps))


if __name__ == "__main__":
    main()
