"""The Python tests' serial line and line client, shared by the window tests, the black-box check
of the Windows server and the soak and fault runs.

SerialLine: a pseudo-terminal pair standing in for the relay board's serial line. The program
under test opens `path`; a thread records every byte that arrives at the master end. The serial
end stays open here too, so the master never reads a hang-up whatever the program does.

Client: a loopback TCP client of the line protocol (lines end with CR LF). Lines come back as
bytes from `line()` and as text from `text()`; both give None once the server has ended the
connection.
"""
import os
import pty
import select
import socket
import struct
import threading
import time


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(predicate, what, timeout=10.0, interval=0.05):
    """The first true value of predicate(); Failure naming `what` after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(interval)

def free_port(low=3002, high=3128):
    """A TCP port in [low, high] that nothing listens on now, starting at a random one so that
    tests running at the same time rarely pick the same. The default range is what the
    configuration file can hold (an offset from 3001)."""
    start = int.from_bytes(os.urandom(2), "little") % (high - low + 1)
    for i in range(high - low + 1):
        port = low + (start + i) % (high - low + 1)
        try:
            s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            addr = ("::", port)
        except OSError:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            addr = ("0.0.0.0", port)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(addr)
            return port
        except OSError:
            continue
        finally:
            s.close()
    raise Failure("no free TCP port")


class SerialLine:
    def __init__(self):
        self.master, self.serial = pty.openpty()
        os.set_inheritable(self.master, False)
        os.set_inheritable(self.serial, False)
        self.path = os.ttyname(self.serial)
        self._bytes = bytearray()
        self._lock = threading.Lock()
        self._stop_r, self._stop_w = os.pipe()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        while True:
            ready, _, _ = select.select([self.master, self._stop_r], [], [])
            if self._stop_r in ready:
                return
            try:
                data = os.read(self.master, 4096)
            except OSError:
                return
            if not data:
                return
            with self._lock:
                self._bytes += data

    def received(self):
        """Every byte the line has carried so far."""
        with self._lock:
            return bytes(self._bytes)

    def wait_bytes(self, count, what, timeout=10.0):
        """Every byte so far once there are at least `count`; Failure naming `what` if they do
        not come within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while len(self.received()) < count:
            if time.monotonic() > deadline:
                raise Failure("%s: %d bytes on the serial line, expected %d"
                              % (what, len(self.received()), count))
            time.sleep(0.005)
        return self.received()

    def vanish(self):
        """The device goes away: the master end closes, the recording stops."""
        if self.master is None:
            return
        os.write(self._stop_w, b"x")
        self._thread.join(5)
        os.close(self.master)
        self.master = None

    def close(self):
        self.vanish()
        for fd in (self.serial, self._stop_r, self._stop_w):
            if fd is not None:
                os.close(fd)
        self.serial = self._stop_r = self._stop_w = None


class Client:
    def __init__(self, port, timeout=15.0, small_window=False, retry_for=0.0):
        """Connects to 127.0.0.1:port, trying again for `retry_for` seconds while nothing
        listens. small_window: a small receive buffer and small segments, so that a client that
        does not read soon blocks the server's writes."""
        deadline = time.monotonic() + retry_for
        while True:
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            if small_window:
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 536)
            self.sock.settimeout(timeout)
            try:
                self.sock.connect(("127.0.0.1", port))
                break
            except OSError:
                self.sock.close()
                if time.monotonic() >= deadline:
                    raise
                time.sleep(0.2)
        self.buf = b""
        self.eof = False

    def send(self, data):
        self.sock.sendall(data.encode() if isinstance(data, str) else data)

    def line(self):
        """The next line without its CR LF; None at the end of the stream or on a reset (a last
        line without its end comes first)."""
        while b"\r\n" not in self.buf:
            if self.eof:
                return None
            try:
                data = self.sock.recv(65536)
            except (ConnectionResetError, BrokenPipeError):
                data = b""
            if not data:
                self.eof = True
                if self.buf:
                    rest, self.buf = self.buf, b""
                    return rest
                return None
            self.buf += data
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def text(self):
        line = self.line()
        return None if line is None else line.decode("utf-8", "replace")

    def expect(self, wanted, what):
        got = self.line() if isinstance(wanted, bytes) else self.text()
        check(got == wanted, f"{what}: got {got!r}, expected {wanted!r}")

    def expect_end(self, what):
        got = self.line()
        check(got is None, f"{what}: got {got!r}, expected the connection to end")

    def closed_by_server(self):
        """The server ends the connection, with nothing more sent, before the timeout."""
        try:
            return self.line() is None
        except socket.timeout:
            return False

    def close(self):
        self.sock.close()

    def reset(self):
        """Abrupt disconnect: the connection is reset (RST), not closed."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()
