#!/usr/bin/env python3
"""The console's configuration menu on a pseudo-terminal, against the real qorservice and three
qorsim units, in one lab (qorlab --veths 1 -- test_console_config.py). One session walks a table
of steps: the keys and lines typed, and the whole screen the console shows until it waits for
the next key. Binaries come from QORCONSOLE, QORSERVICE and QORSIM."""

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

CLEAR = "<CLEAR>"
MAIN, SUB = "d[#_#]b > CMD ? ", "d[#_#]b >> CMD ? "
MACP = "d[#_#]b : mac (e.g. x0012f3a4b5c6)    ? x"
SAY = "\nd[#_#]b : "
SUBMENU = (">>----------------------------------<<\n    A : set mac address\n    B : set device name\n"
           "    C : set password\n    D : store UART setting to flash\n    E : store DIO setting to flash\n"
           "    F : update firmware\n\n    Q : quit\n>>----------------------------------<<\n\n")
NAME_ASK = ("d[#_#]b : ControlUnit Version 0, maximum 20 byte\nd[#_#]b : ControlUnit Version 1, maximum 64 byte\n"
            "d[#_#]b : device name                 ? ")
SETTING_ASK = "d[#_#]b : 0x00->disable, 0x01->enable\nd[#_#]b : password setting (1 byte)   ? x"
PWD_ASK = "d[#_#]b : password (max 32 byte)      ? "
FW_ASK = "d[#_#]b : firmware file (include path)? "
REBOOT = "d[#_#]b : VN will reboot and receive disconnect event in a while.\n          Back to main menu\n"
# The service may report the unit's loss while the screen is shown; that line is not the menu's.
EVENT = re.compile(re.escape(CLEAR) + r"\nd\[#_#\]b : ##### Receive VN \([0-9a-f:]{17}\) disconnect event\. #####\n\n")

CFG1, CFG0, UART2 = "020000000021", "020000000022", "020000000023"  # control unit layouts 1 and 0
UNITS = {CFG1: "ctu_config", CFG0: "ctu_config_v0", UART2: "ctu_uart2"}


def colons(mac):
    return ":".join(mac[i:i + 2] for i in range(0, 12, 2))


class Console:
    """qorconsole on a pty: the screen as text ("\\r\\n" folded, a clear shown as <CLEAR>)."""

    def __init__(self, path):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ["TERM"] = "xterm"
            os.execv(path, [path])
        self.raw, self.pos, self.sent = b"", 0, 0  # pos: start of the step; sent: of the last input

    def text(self):
        t = re.sub(rb"(?:\x1b\[[0-9;?]*[A-Za-z])+", CLEAR.encode(), self.raw)
        return t.replace(b"\r\n", b"\n").decode("latin-1")

    def wait(self, done, timeout=20):
        deadline = time.monotonic() + timeout
        while not done(self.text()[self.sent:]):
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("console stuck; it showed:\n" + self.text()[self.pos:])
            if select.select([self.fd], [], [], min(left, 0.01))[0]:
                self.raw += os.read(self.fd, 65536)

    def key_read(self):
        return not termios.tcgetattr(self.fd)[3] & termios.ICANON

    def type(self, data):
        # A key goes once the console reads single keys (or the terminal would hold it); a line
        # once its prompt is shown, so the echo follows the prompt.
        if len(data) == 1:
            self.wait(lambda t: self.key_read())
        else:
            self.wait(lambda t: t.endswith("? ") or t.endswith("? x"))
            data += "\n"
        self.sent = len(self.text())
        os.write(self.fd, data.encode("latin-1"))

    def screen(self, end_marks=(MAIN, SUB)):
        """The screen since the last input, once the console waits for a key again."""
        self.wait(lambda t: t.endswith(end_marks) and self.key_read())
        text = self.text()
        shown, self.pos = text[self.pos:], len(text)
        self.sent = self.pos
        return shown


def sim(command):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect("/run/qorsim.sock")
        s.sendall(command.encode() + b"\n")
        line = s.makefile().readline()
    assert line.startswith("ok"), (command, line)
    return line


def eventually(condition, failure, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(failure)
        time.sleep(0.1)


def shown(mac, field):
    return re.search(r" %s=(\S+)" % field, sim("show " + colons(mac))).group(1)


def firmware(path, model, size=512, kind=3):
    image = bytes((i * 31 + 1) & 0xFF for i in range(size))
    head = bytearray(128)
    head[7:11] = struct.pack(">I", kind)
    head[11] = 1  # advance mode
    head[12:12 + len(model)] = model.encode()
    head[44:48] = struct.pack(">I", size)
    head[48] = 2
    head[49:53] = struct.pack("<I", zlib.crc32(image))
    with open(path, "wb") as f:
        f.write(bytes(head) + image)


def listening(port):
    with open("/proc/net/tcp") as f:
        return any(l.split()[1].endswith(":%04X" % port) and l.split()[3] == "0A" for l in list(f)[1:])


def hold(port):
    """A client of the CTU port, once its server took it and stopped listening."""
    for _ in range(100):
        try:
            s = socket.create_connection(("127.0.0.1", port))
            break
        except ConnectionRefusedError:
            time.sleep(0.05)
    while listening(port):
        time.sleep(0.01)
    return s


def wait_listed(count):
    """Polls the management port until the service's search found `count` units."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", 50000), timeout=3) as s:
                s.sendall(struct.pack("<B3xHHI", 1, 5, 0, 0))
                data = b""
                while len(data) < 12 or len(data) < 12 + struct.unpack("<I", data[8:12])[0]:
                    data += s.recv(65536) or b"!"
                if (len(data) - 12) // 28 >= count:
                    return
        except OSError:
            pass
        time.sleep(0.3)
    raise AssertionError("the service did not list %d units" % count)


# -- Step builders: (typed inputs, expected screen, check run afterwards) ------------------------

def enter(mac):
    return ["n", mac], "\n" + MACP + mac + "\n" + CLEAR + SUBMENU + SUB


def main_refusal(mac, line):
    return ["n", mac], "\n" + MACP + mac + "\n" + SAY + line + "\n" + MAIN


def connect(mac, port):
    return (["j", mac, "00"], "\n" + MACP + mac + "\nd[#_#]b : 0x00->NO, 0x01->YES\n"
            "d[#_#]b : password request (1 byte)   ? x00\n\nd[#_#]b : Waitting ...\nd[#_#]b : Connect ok "
            "(CTU tcp port:%d, SIO tcp port:*).\n\n" % port + MAIN)


def result(ok, fail, status=None, end=SUB):
    return ("\n" + ok if status is None else "\n" + fail + "\n          CTU status : %s\n\n" % status) + end


def name(text, status=None):
    return (["b", text], "\n" + NAME_ASK + text + "\n" +
            result("d[#_#]b : Set VN device name ok.\n", "d[#_#]b : Set VN device name fail.", status))


def store(key, what, status=None):
    return [key], "\n" + result("d[#_#]b : Store VN %s setting to flash ok.\n" % what,
                                "d[#_#]b : Store VN %s setting to flash fail." % what, status)


def password(setting, pwd=None, status=None, refusal=None):
    typed = ["c", setting] + ([pwd] if pwd is not None else [])
    screen = "\n" + SETTING_ASK + setting + "\n" + (PWD_ASK + pwd + "\n" if pwd is not None else "")
    if refusal:
        return typed, screen + SAY + refusal + "\n" + SUB
    return typed, screen + result("d[#_#]b : Set VN password ok.\n", "d[#_#]b : Set VN password fail.", status)


def update(path, status=None, progress=(), end=None):
    screen = "\n" + FW_ASK + path + "\n" + SAY + "Downloading ..."
    if status:
        return ["f", path], screen + "\n\nd[#_#]b : Set firmware file and update fail.\n" \
            "          CTU status : %s\n\n" % status + SUB
    screen += "\nd[#_#]b : Download ok.\n" + "".join("d[#_#]b : Programming %d%% ok.\n" % p for p in progress)
    return ["f", path], screen + end


def main():
    subprocess.Popen(["qorlab-peer", "0", os.environ["QORSIM"], "--control", "/run/qorsim.sock"] +
                     sum((["--unit", "%s,%s,p0" % (p, colons(m))] for m, p in UNITS.items()), []),
                     stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not os.path.exists("/run/qorsim.sock") and time.monotonic() < deadline:
        time.sleep(0.05)
    subprocess.run([os.environ["QORSERVICE"]], check=True, timeout=20, stdout=subprocess.DEVNULL)
    wait_listed(len(UNITS))
    firmware("/run/fw_cfg1.bin", "VN-CFG1")
    firmware("/run/fw_other.bin", "VN-OTHER")
    holder = []
    long_name = "n" * 65

    steps = [
        # Entering: the MAC refused, a unit nobody connected (the list empty, then without it).
        (["n", "0200"], "\n" + MACP + "0200\n" + SAY + "VN mac data invalid.\n" + MAIN, None),
        main_refusal(CFG1, "Please Connect to VN.") + (None,),
        connect(CFG1, 50001) + (None,),
        main_refusal(CFG0, "Please Connect to VN.") + (None,),
        connect(CFG0, 50002) + (None,),
        connect(UART2, 50003) + (lambda: holder.append(hold(50002)),),
        # While another client holds the unit's CTU port nobody else gets in.
        main_refusal(CFG0, "Connect VN CTU service fail.") + (lambda: holder.pop().close() or time.sleep(0.2),),
        # Control unit layout 0: 21 characters are the service's to refuse, 65 the console's.
        enter(CFG0) + (lambda: holder.append(shown(CFG0, "ctu-executes")),),
        name("x" * 21, "LENGTH_INVALID") + (None,),
        (["b", long_name], "\n" + NAME_ASK + long_name + "\n" + SAY + "VN device name data invalid.\n" + SUB,
         lambda: holder.pop() == shown(CFG0, "ctu-executes") or sys.exit("the 65-byte name was sent")),
        name("Old-2") + (lambda: shown(CFG0, "ctu-name") == b"Old-2".hex() or sys.exit("name not stored"),),
        store("d", "UART", "NO_SUPPORTED_UART_VERSION_CHANNEL") + (None,),
        store("e", "DIO", "NO_SUPPORTED_DIO_VERSION_CHANNEL") + (None,),
        (["?"], "\n" + SUBMENU + SUB, None),
        (["z"], "\n\n" + SUB, None),
        (["q"], "\n" + MAIN, None),
        # Control unit layout 1: every entry's success, the console's refusals, the unit's failures.
        enter(CFG1) + (None,),
        name("n" * 64) + (lambda: shown(CFG1, "ctu-name") == "6e" * 64 or sys.exit("64-byte name not stored"),),
        password("02", refusal="Password setting invalid.") + (None,),
        password("01", "p" * 33, refusal="Password data invalid.") + (lambda: sim("ctu-event %s code 15" % colons(CFG1)),),
        password("01", "secret", status="UNSUPPORT_COMMAND") + (None,),
        password("01", "secret") + (lambda: shown(CFG1, "ctu-password") == b"secret".hex() or sys.exit("no password"),),
        password("00") + (lambda: shown(CFG1, "ctu-password") == "-" or sys.exit("password kept"),),
        store("D", "UART") + (lambda: shown(CFG1, "ctu-flash-uart") != "-" or sys.exit("UART not stored"),),
        store("E", "DIO") + (lambda: shown(CFG1, "ctu-flash-dio") != "-" or sys.exit("DIO not stored"),),
        update("/run/missing.bin", "FIRMWARE_FILE_OPEN_FAIL") + (None,),
        update("/run/fw_other.bin", "FIRMWARE_MODEL_NOT_MATCH") +
        (lambda: [sim("ctu-firmware %s %s" % (colons(CFG1), f)) for f in ("steps 2", "end fail")],),
        update("/run/fw_cfg1.bin", progress=(10, 20), end="d[#_#]b : Programming 30% fail.\n\n" + SUB) +
        (lambda: [sim("ctu-firmware %s %s" % (colons(CFG1), f)) for f in ("steps 10", "end ok")],),
        # Ten steps: 10% .. 90% are shown, the tenth is the finish.
        update("/run/fw_cfg1.bin", progress=range(10, 100, 10),
               end="d[#_#]b : Programming finish.\n" + REBOOT + MAIN) + (None,),
        # A MAC change: the unit's failure first, then success and back to the main menu.
        enter(UART2) + (None,),
        name("abc", "FUNCTION_UNSUPPORT") + (None,),
        (["a", "0200"], "\n" + MACP + "0200\n" + SAY + "VN mac data invalid.\n" + SUB,
         lambda: sim("ctu-event %s code 2" % colons(UART2))),
        (["a", "020000000033"], "\n" + MACP + "020000000033\n\nd[#_#]b : Set VN mac address fail.\n"
         "          CTU status : TX_CMD_FAIL\n\n" + SUB, None),
        (["A", "020000000033"], "\n" + MACP + "020000000033\n\nd[#_#]b : Set VN mac address ok.\n" + REBOOT + MAIN,
         lambda: eventually(lambda: "02:00:00:00:00:33," in sim("list"), "no reboot under the new MAC")),
    ]

    c = Console(os.environ["QORCONSOLE"])
    first = c.screen()
    assert first.endswith(MAIN), first
    for number, (typed, want, check) in enumerate(steps, 1):
        for t in typed:
            c.type(t)
        # The SIO port is not this menu's concern.
        got = re.sub(r"SIO tcp port:\d+", "SIO tcp port:*", EVENT.sub("", c.screen()))
        if got != want:
            sys.exit("step %d %r:\nwant %r\ngot  %r" % (number, typed, want, got))
        if check:
            check()
    c.type("q")
    c.screen(end_marks=("Enter key to exit program.",))
    print("PASS configuration menu, %d steps" % len(steps))


if __name__ == "__main__":
    main()
