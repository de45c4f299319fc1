"""A small pseudo-terminal driver for qorconsole: starts it on a pty, types keys and reads the
screen as text ("\r\n" folded to "\n", each screen clear shown as "<CLEAR>")."""

import os
import pty
import re
import select
import signal
import termios
import time

CLEAR = "<CLEAR>"
_ESCAPE = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


def screen_text(raw: bytes) -> str:
    # A clear is one run of escape sequences; fold each run into one marker.
    text = re.sub(rb"(?:\x1b\[[0-9;?]*[A-Za-z])+", CLEAR.encode(), raw)
    return text.replace(b"\r\n", b"\n").decode("latin-1")


class Console:
    def __init__(self, path, env=None, args=()):
        env = dict(os.environ if env is None else env)
        env.setdefault("TERM", "xterm")
        pid, fd = pty.fork()
        if pid == 0:
            try:
                os.execve(path, [path, *args], env)
            finally:
                os._exit(127)
        self.pid = pid
        self.fd = fd
        self.raw = b""
        self.pos = 0  # index in the folded text of what expect() has not consumed yet
        self.status = None

    def _fill(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return False
        ready, _, _ = select.select([self.fd], [], [], remaining)
        if not ready:
            return False
        try:
            data = os.read(self.fd, 65536)
        except OSError:
            data = b""
        if not data:
            return None  # the console closed its terminal
        self.raw += data
        return True

    def expect(self, pattern, timeout=10.0):
        """Waits until the unread output contains pattern (a string, or a compiled regex);
        returns the text up to and including it and consumes it."""
        deadline = time.monotonic() + timeout
        while True:
            # Folding the whole output each time keeps "\r\n" and escape runs that arrive split
            # over two reads intact; the text before the newest bytes never changes.
            text = screen_text(self.raw)[self.pos:]
            if isinstance(pattern, str):
                i = text.find(pattern)
                end = i + len(pattern) if i >= 0 else -1
            else:
                m = pattern.search(text)
                end = m.end() if m else -1
            if end >= 0:
                self.pos += end
                return text[:end]
            if not self._fill(deadline):
                raise AssertionError("expected %r, console showed:\n%s" % (pattern, text))

    def rest(self, settle=0.3):
        """Everything shown after the last expect(), waiting until the output is quiet."""
        while self._fill(time.monotonic() + settle):
            pass
        text = screen_text(self.raw)
        fresh = text[self.pos:]
        self.pos = len(text)
        return fresh

    def key(self, data, timeout=10.0):
        """Sends a key once the console waits for one: its single-key read switches the terminal
        out of canonical mode (the master side sees the same modes). A key sent earlier would be
        echoed by the terminal and held until the line ends."""
        deadline = time.monotonic() + timeout
        while termios.tcgetattr(self.fd)[3] & termios.ICANON:
            if time.monotonic() > deadline:
                raise AssertionError("the console never waited for a key; it showed:\n%s" %
                                     screen_text(self.raw)[self.pos:])
            self._fill(time.monotonic() + 0.005)
        self.send(data)

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        os.write(self.fd, data)

    def wait_exit(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self._fill(time.monotonic() + 0.05)
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.status = os.waitstatus_to_exitcode(status)
                return self.status
        raise AssertionError("console did not exit; it showed:\n%s" % screen_text(self.raw)[self.pos:])

    def close(self):
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass
            self.status = -9
        try:
            os.close(self.fd)
        except OSError:
            pass
