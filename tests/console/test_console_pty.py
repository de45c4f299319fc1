#!/usr/bin/env python3
"""qorconsole on a pseudo-terminal against the real qorservice and qorsim, inside a qorlab lab.

    test_console_pty.py CASE      (inside a lab: qorlab --veths 1 -- test_console_pty.py CASE)

The binaries come from QORCONSOLE, QORSERVICE and QORSIM. Each case starts its own units and
service (or none) and one or more consoles; the lab removes everything afterwards."""

import os
import re
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_pty import CLEAR, Console  # noqa: E402

QORCONSOLE = os.environ.get("QORCONSOLE", "")
QORSERVICE = os.environ.get("QORSERVICE", "")
QORSIM = os.environ.get("QORSIM", "")

PROMPT = "d[#_#]b > CMD ? "
SUB_PROMPT = "d[#_#]b >> CMD ? "
MAC_PROMPT = "d[#_#]b : mac (e.g. x0012f3a4b5c6)    ? x"
FLAG_PROMPT = "d[#_#]b : password request (1 byte)   ? x"
PWD_PROMPT = "d[#_#]b : password (max 32 byte)      ? "
WAIT = "\nd[#_#]b : Waitting ..."

UNITS = {
    "11": ("ctu_uart2", "VN-U2S", "x07", "03"),
    "12": ("ctu_analog", "VN-A4M", "x01", "06"),
    "13": ("ctu_dio", "VN-D20", "x03", "02"),
    "14": ("dock_basic", "VN-DOCK1", "x00", "03"),
    "15": ("advance_password", "VN-U4P", "x09", "05"),
}


def mac(last):
    return "02:00:00:00:00:" + last


# ---------------------------------------------------------------------------------------------
# Lab set-up

def start_units():
    args = ["qorlab-peer", "0", QORSIM]
    for last, (profile, *_rest) in UNITS.items():
        args += ["--unit", "%s,%s,p0" % (profile, mac(last))]
    sim = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    line = sim.stdout.readline()
    if not line.startswith("ready"):
        raise AssertionError("qorsim did not start: %r" % line)
    return sim


def _search_count():
    """Units the service has found, asked over the management port directly."""
    with socket.create_connection(("127.0.0.1", 50000), timeout=3) as s:
        s.sendall(struct.pack("<B3xHHI", 1, 5, 0, 0))
        head = b""
        while len(head) < 12:
            head += s.recv(12 - len(head))
        length = struct.unpack("<I", head[8:12])[0]
        body = b""
        while len(body) < length:
            body += s.recv(length - len(body))
    return length // 28


def start_service(units=len(UNITS)):
    subprocess.run([QORSERVICE], check=True, timeout=20, stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            if _search_count() >= units:
                return
        except OSError:
            pass
        time.sleep(0.3)
    raise AssertionError("the service did not find %d units" % units)


def open_console():
    c = Console(QORCONSOLE)
    first = c.expect(PROMPT)
    menu = first[first.index(CLEAR) + len(CLEAR):-len(PROMPT)]
    check(menu.startswith(">------------------------------------<\n    A : get service & driver info\n"), menu)
    check(menu.endswith("    Q : quit\n>------------------------------------<\n"), menu)
    return c


def key(c, k, prompt=PROMPT):
    """Types one menu key and returns the screen up to the next prompt (the key's newline and
    the prompt excluded)."""
    c.key(k)
    screen = c.expect(prompt, timeout=15)
    return screen[:-len(prompt)]


def typed(c, text, after):
    """Types one input line once the prompt `after` is shown (the terminal is back in line mode
    by then)."""
    c.expect(after)
    c.send(text + "\n")


def with_mac(c, k, mac, prompt=PROMPT):
    """Types a menu key and a MAC; returns the screen after the MAC's echo up to the next prompt."""
    c.key(k)
    typed(c, mac, MAC_PROMPT)
    screen = c.expect(prompt)[:-len(prompt)]
    check(screen.startswith(mac + "\n"), screen)
    return screen[len(mac) + 1:]


def quit_console(c):
    c.key("q")
    c.expect("\nd[#_#]b : Enter key to exit program.")
    c.key("x")
    status = c.wait_exit()
    c.close()
    check(status == 0, "exit status %s" % status)


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def check_eq(expected, got):
    if expected != got:
        raise AssertionError("expected:\n%r\ngot:\n%r" % (expected, got))


def table(header, rows):
    dashes = "-" * len(header) + "\n"
    return dashes + header + "\n" + dashes + "".join(r + "\n" for r in rows)


SEARCH_HEADER = "        Mac         |  Link Status  | Mapping | Minor V | Chls | Model Name"


def search_row(last, link="DISCONNECT", mapped="NO "):
    _profile, model, minor, chls = UNITS[last]
    return " %s      %s      %s       %s      %s     %s" % (mac(last), link, mapped, minor, chls, model)


# ---------------------------------------------------------------------------------------------
# Cases

def case_detail_view():
    start_units()
    start_service()
    c = open_console()
    c.key("f")
    typed(c, "020000000012", MAC_PROMPT)
    screen = c.expect(SUB_PROMPT)
    check(WAIT + "\nd[#_#]b : Update VN info ok.\n" + CLEAR +
          ">>----------------------------------<<\n    A : update Varnel info\n" in screen, screen)
    check(">>----------------------------------<<\n" + SUB_PROMPT in screen, screen)

    def view(k):
        c.key(k)
        return c.expect(SUB_PROMPT)[:-len(SUB_PROMPT)]

    def field(label, value):
        return " " + label.ljust(38) + ": " + value + "\n"

    equals = "=" * 60 + "\n"
    check_eq(CLEAR + equals + field("DIB channel", "1") + field("Version", "x01") + field("Fifo size", "1024") +
             field("Fifo type", "Shared mode") + field("Number of input port", "8") + field("Resolution", "16") +
             field("Support input type", "Unipolar/Bipolar") + field("Clock divider width", "8 bit") +
             field("Support max programable gain", "x8, support individual") +
             field("ADC max sampling rate (samples/sec)", "100000") +
             field("ADC reference voltage (calculated)", "2.50") +
             field("ADC reference voltage", "xc4 x09 x00 x03") + equals, view("h"))
    check_eq(CLEAR + equals + field("DIB channel", "5") + field("Version", "x00") +
             field("Serial number", "SN2024000001") + field("Device name", "Analog demo unit") + equals, view("O"))
    check_eq("\n", view("z"))
    check_eq(WAIT + "\nd[#_#]b : Update VN info ok.\n", view("a"))
    c.key("q")
    c.expect(PROMPT)
    # The DIO unit: three banks of 8, 8 and 4 I/Os.
    with_mac(c, "F", "020000000013", SUB_PROMPT)
    dio = view("f")
    check(field("Number of bank", "3") + field("Same bank IO share same direction ctrl", "NO") in dio, dio)
    check_eq(["8", "8", "4"], re.findall(r" Number of IOs {25}: (\d+)\n", dio))
    check(dio.count(field("Bank support input", "YES")) == 3, dio)
    c.key("Q")
    c.expect(PROMPT)
    # A unit the service does not know.
    check_eq(WAIT + "\nd[#_#]b : VN not found.\n\n", with_mac(c, "f", "020000000099"))
    quit_console(c)


def connect(c, last, flag="00"):
    c.key("j")
    typed(c, "0200000000" + last, MAC_PROMPT)
    typed(c, flag, FLAG_PROMPT)
    return c.expect(PROMPT)[:-len(PROMPT)]


def case_connect_map_and_records():
    start_units()
    start_service()
    c = open_console()
    screen = connect(c, "11")
    check(re.fullmatch(r"00\n" + re.escape(WAIT) +
                       r"\nd\[#_#\]b : Connect ok \(CTU tcp port:\d+, SIO tcp port:\d+\)\.\n\n", screen), screen)
    check_eq("00\n" + WAIT + "\nd[#_#]b : Connected already.\n\n", connect(c, "11"))
    screen = key(c, "l")
    header = "        Mac         | CTU tp | SIO tp |Mapping| Minor V | Chls | Model Name"
    check(screen.startswith("\n" + CLEAR + table(header, [])), screen)
    rows = screen[len("\n" + CLEAR + table(header, [])):].splitlines()
    check(len(rows) == 1, screen)
    port = r"( \d{5}   | NONE    )"
    check(re.fullmatch(r" 02:00:00:00:00:11   " + port + port + r"  NO       x07      03     VN-U2S", rows[0]), rows[0])
    screen = key(c, "d")
    check(search_row("11", link="CONNECTED ") in screen, screen)
    check_eq(WAIT + "\nd[#_#]b : Disconnect ok.\n", with_mac(c, "k", "020000000011"))
    check_eq("\n\nd[#_#]b : No VN found.\n", key(c, "L"))
    check_eq(WAIT + "\nd[#_#]b : Disconnected already.\n\n", with_mac(c, "K", "020000000011"))
    # Mapping, the hidden keys "." (map and connect) and 0x1F (disconnect and unmap), records.
    equals = "=" * 30 + "\n"
    check_eq(WAIT + CLEAR + "MAC : 02:00:00:00:00:14\n" + equals + " Chl |  Mapping\n"
             " 01     ttyVN0\n", with_mac(c, "g", "020000000014"))
    check_eq(WAIT + "\nd[#_#]b : VN mapping already.\n\n", with_mac(c, "G", "020000000014"))
    check_eq("\n" + CLEAR + "MAC : 02:00:00:00:00:14\n" + equals + " Chl |  Mapping\n 01     ttyVN0\n", key(c, "i"))
    check_eq(WAIT + "\nd[#_#]b : UnMapping ok.\n", with_mac(c, "h", "020000000014"))
    check_eq("\n\nd[#_#]b : No mapping info found.\n", key(c, "I"))
    c.key(".")
    typed(c, "020000000011", MAC_PROMPT)
    typed(c, "00", FLAG_PROMPT)
    check_eq("00\n" + WAIT + "\nd[#_#]b : Mapping ok." + WAIT + "\nd[#_#]b : Connect ok.\n",
             c.expect(PROMPT)[:-len(PROMPT)])
    screen = key(c, "d")
    check(search_row("11", link="CONNECTED ", mapped="YES") in screen, screen)
    check_eq(WAIT + "\nd[#_#]b : Disconnect ok." + WAIT + "\nd[#_#]b : Un-mapping ok.\n",
             with_mac(c, "\x1f", "020000000011"))
    # The stored records, and "?".
    check_eq("\n\nd[#_#]b : Clear all VN mapping and connect record ok.\n", key(c, "m"))
    menu = key(c, "?")
    check(menu.startswith("\n>------------------------------------<\n") and menu.count("\n") == 18, menu)
    quit_console(c)


def case_no_service():
    c = Console(QORCONSOLE)
    check_eq(CLEAR + "\nd[#_#]b : Connect to service fail.\n\nd[#_#]b : Enter key to exit program.",
             c.expect("Enter key to exit program."))
    check(c.rest(0.5) == "", "nothing more before the key")
    c.key("\n")
    status = c.wait_exit()
    c.close()
    check_eq(255, status)


def main():
    if len(sys.argv) != 2 or not hasattr(sys.modules[__name__], "case_" + sys.argv[1]):
        cases = [n[5:] for n in dir(sys.modules[__name__]) if n.startswith("case_")]
        print("usage: test_console_pty.py CASE   (one of: %s)" % ", ".join(cases), file=sys.stderr)
        return 2
    if os.environ.get("QORLAB") != "1":
        print("test_console_pty.py: runs only inside a qorlab lab", file=sys.stderr)
        return 2
    for path in (QORCONSOLE, QORSERVICE, QORSIM):
        if not os.access(path, os.X_OK):
            print("test_console_pty.py: missing binary %r" % path, file=sys.stderr)
            return 2
    getattr(sys.modules[__name__], "case_" + sys.argv[1])()
    print("PASS %s" % sys.argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
