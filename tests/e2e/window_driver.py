#!/usr/bin/env python3
"""Drives vexanet-server's real window on an X display as an operator would, with xdotool, and
checks the effects on the serial line (a pseudo-terminal) and on a loopback client.

usage: window_driver.py SERVER CONFIG ARTIFACT_DIR FRAMEBUFFER_FILE

Run by window_test.sh inside xvfb-run; FRAMEBUFFER_FILE is the screen that Xvfb keeps in XWD
format (-fbdir), from which the screenshots are cut. Besides the standard library it needs only
xdotool and libX11 (reading the clipboard and sending the window's close request, which xdotool
cannot do without a window manager). Exit status 0 when every check passed.
"""
import ctypes
import ctypes.util
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import testlines  # noqa: E402
from testlines import Client, Failure, SerialLine, free_port, wait_for  # noqa: E402

DEADLINE = 10.0  # seconds; only a hang ever reaches it
TITLE = "VexaNet Server"

# Positions inside the window's client area: centres of the components the operator uses.
SELECTOR_Y = 58
HOST_PWD = (245, 112)
CLOSE_BUTTON = (210, 160)
STATUS_FIELD = (255, 189)


def check(condition, message):
    testlines.check(condition, message)
    print("ok:", message, flush=True)


def selector_x(n):
    return 5 + 50 * (n - 1) + 25


# ---- X11: xdotool, the clipboard, the close request, the screen ---------------------------------

def xdotool(*args, timeout=DEADLINE):
    result = subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True,
                            timeout=timeout)
    if result.returncode != 0:
        raise Failure("xdotool %s failed: %s" % (" ".join(map(str, args)), result.stderr.strip()))
    return result.stdout


def find_window():
    """The id of the visible window with our title, or None."""
    result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", TITLE],
                            capture_output=True, text=True, timeout=DEADLINE)
    ids = result.stdout.split()
    return ids[0] if ids else None


def click(window, x, y):
    xdotool("mousemove", "--window", window, x, y, "click", "1")


_xlib = None


def xlib():
    global _xlib
    if _xlib is None:
        lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        vp, ul, i, l = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long
        lib.XOpenDisplay.restype = vp
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        lib.XInternAtom.restype = ul
        lib.XInternAtom.argtypes = [vp, ctypes.c_char_p, i]
        lib.XDefaultRootWindow.restype = ul
        lib.XDefaultRootWindow.argtypes = [vp]
        lib.XCreateSimpleWindow.restype = ul
        lib.XCreateSimpleWindow.argtypes = [vp, ul, i, i, ctypes.c_uint, ctypes.c_uint,
                                            ctypes.c_uint, ul, ul]
        lib.XConvertSelection.argtypes = [vp, ul, ul, ul, ul, ul]
        lib.XConnectionNumber.argtypes = [vp]
        lib.XPending.argtypes = [vp]
        lib.XNextEvent.argtypes = [vp, vp]
        lib.XFlush.argtypes = [vp]
        lib.XGetWindowProperty.argtypes = [
            vp, ul, ul, l, l, i, ul, ctypes.POINTER(ul), ctypes.POINTER(i), ctypes.POINTER(ul),
            ctypes.POINTER(ul), ctypes.POINTER(vp)]
        lib.XFree.argtypes = [vp]
        lib.XSendEvent.argtypes = [vp, ul, i, l, vp]
        lib.XDestroyWindow.argtypes = [vp, ul]
        lib.XCloseDisplay.argtypes = [vp]
        _xlib = lib
    return _xlib


class _SelectionEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("requestor", ctypes.c_ulong),
                ("selection", ctypes.c_ulong), ("target", ctypes.c_ulong),
                ("property", ctypes.c_ulong), ("time", ctypes.c_ulong)]


class _ClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("l", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("selection", _SelectionEvent),
                ("client", _ClientMessageEvent), ("pad", ctypes.c_long * 24)]


class Display:
    def __init__(self):
        self.lib = xlib()
        self.dpy = self.lib.XOpenDisplay(None)
        if not self.dpy:
            raise Failure("cannot open the X display")

    def atom(self, name):
        return self.lib.XInternAtom(self.dpy, name, 0)

    def close(self):
        self.lib.XCloseDisplay(self.dpy)


def read_clipboard(timeout=2.0):
    """The CLIPBOARD selection's text, or None when no owner answers in time."""
    d = Display()
    lib = d.lib
    try:
        win = lib.XCreateSimpleWindow(d.dpy, lib.XDefaultRootWindow(d.dpy), 0, 0, 1, 1, 0, 0, 0)
        prop = d.atom(b"VEXANET_E2E_SELECTION")
        lib.XConvertSelection(d.dpy, d.atom(b"CLIPBOARD"), d.atom(b"UTF8_STRING"), prop, win, 0)
        lib.XFlush(d.dpy)
        end = time.monotonic() + timeout
        event = _XEvent()
        while True:
            while lib.XPending(d.dpy):
                lib.XNextEvent(d.dpy, ctypes.byref(event))
                if event.type != 31:  # SelectionNotify
                    continue
                if event.selection.property == 0:
                    return None
                kind, fmt = ctypes.c_ulong(), ctypes.c_int()
                count, left, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
                lib.XGetWindowProperty(d.dpy, win, prop, 0, 1 << 16, 1, 0, ctypes.byref(kind),
                                       ctypes.byref(fmt), ctypes.byref(count), ctypes.byref(left),
                                       ctypes.byref(data))
                text = ctypes.string_at(data, count.value).decode("utf-8", "replace")
                if data:
                    lib.XFree(data)
                return text
            remaining = end - time.monotonic()
            if remaining <= 0:
                return None
            select.select([lib.XConnectionNumber(d.dpy)], [], [], remaining)
    finally:
        d.close()


def request_close(window):
    """What a window manager's close button sends: WM_PROTOCOLS with WM_DELETE_WINDOW."""
    d = Display()
    try:
        event = _XEvent()
        event.client.type = 33  # ClientMessage
        event.client.window = window
        event.client.message_type = d.atom(b"WM_PROTOCOLS")
        event.client.format = 32
        event.client.l[0] = d.atom(b"WM_DELETE_WINDOW")
        if not d.lib.XSendEvent(d.dpy, window, 0, 0, ctypes.byref(event)):
            raise Failure("the close request could not be sent")
        d.lib.XFlush(d.dpy)
    finally:
        d.close()


def status_text(window):
    """The status field's text, copied as an operator would: click, select all, copy."""
    click(window, *STATUS_FIELD)
    xdotool("key", "ctrl+a", "ctrl+c")
    return read_clipboard()


def wait_status(window, text):
    wait_for(lambda: status_text(window) == text, "status field to show %r" % text,
             interval=0.1)
    check(True, "status field shows %r" % text)


def screenshot(framebuffer, window, path):
    """Cuts the window out of the XWD screen dump that Xvfb keeps and writes it as a PNG."""
    # Clear the selection left by reading the status field, move the pointer off the window and
    # give the program a moment to repaint.
    click(window, *STATUS_FIELD)
    xdotool("key", "End")
    xdotool("mousemove", 790, 590)
    time.sleep(0.3)
    geometry = dict(line.split("=", 1) for line in
                    xdotool("getwindowgeometry", "--shell", window).split())
    x, y = int(geometry["X"]), int(geometry["Y"])
    w, h = int(geometry["WIDTH"]), int(geometry["HEIGHT"])
    with open(framebuffer, "rb") as f:
        data = f.read()
    header_size = struct.unpack(">I", data[0:4])[0]
    fields = struct.unpack(">25I", data[0:100])
    version, pixmap_format = fields[1], fields[2]
    screen_w, screen_h, byte_order = fields[4], fields[5], fields[7]
    bits_per_pixel, stride = fields[11], fields[12]
    masks = fields[14:17]
    ncolors = fields[19]
    if version != 7 or pixmap_format != 2 or bits_per_pixel != 32:
        raise Failure("unexpected screen dump format")
    w, h = min(w, screen_w - x), min(h, screen_h - y)
    offset = header_size + ncolors * 12
    shifts = [(m & -m).bit_length() - 1 for m in masks]
    order = "little" if byte_order == 0 else "big"
    rows = []
    for row in range(y, y + h):
        start = offset + row * stride + x * 4
        line = bytearray(b"\x00")  # PNG filter type: none
        for col in range(w):
            p = int.from_bytes(data[start + col * 4:start + col * 4 + 4], order)
            line += bytes(((p & m) >> s) & 0xFF for m, s in zip(masks, shifts))
        rows.append(bytes(line))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)
    print("screenshot:", path, flush=True)


# ---- the network ------------------------------------------------------------------------------



# ---- the test ------------------------------------------------------------------------------------

def run(server_exe, config_exe, artifacts, framebuffer, work):
    line = SerialLine()
    port = free_port()
    subprocess.run([config_exe, "write", os.path.join(work, "VexaNetCFG.bin"), "--tcp-port",
                    str(port)], check=True, timeout=DEADLINE)
    env = {k: v for k, v in os.environ.items()
           if k not in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY") and not k.startswith("VEXANET_COM")}
    env["VEXANET_COM1"] = line.path
    env["VEXANET_AUDIT"] = "1"  # the operator's switch is named in the audit log
    if "ASAN_OPTIONS" in env:
        # The X keyboard library's strndup reads a name that is not NUL-terminated within its
        # length, which AddressSanitizer reports as an overflow only under strict_string_checks.
        env["ASAN_OPTIONS"] += ":strict_string_checks=0"
    stdout_path = os.path.join(artifacts, "server-stdout.txt")
    with open(stdout_path, "w") as out, open(os.path.join(artifacts, "server-stderr.txt"),
                                             "w") as err:
        server = subprocess.Popen([server_exe], cwd=work, env=env, stdout=out, stderr=err,
                                  stdin=subprocess.DEVNULL)
    clients = []
    try:
        window = wait_for(lambda: server.poll() is not None or find_window(), "the window",
                          timeout=20)
        if server.poll() is not None:
            raise Failure("the program ended with status %s before its window showed"
                          % server.returncode)
        check(True, "window %s is visible" % window)
        start = line.wait_bytes(8, "the start-up bytes")
        check(start[:8] == bytes(range(8)), "start-up switched relays 1 to 8 off")
        wait_status(window, "COM1  Vexa  0 minutes  Ready")

        # Selector 4 to "On": open the list, then choose with the keyboard.
        click(window, selector_x(4), SELECTOR_Y)
        time.sleep(0.3)
        xdotool("key", "Down", "Return")
        got = line.wait_bytes(9, "the byte of selector 4")
        check(got[8:9] == b"\x0b", "choosing On in selector 4 sent 0x0B")
        wait_status(window, "Stat00010000")
        wait_for(lambda: "Audit: relay=4 off->on by=operator" in open(stdout_path).read(),
                 "the audit line of the operator's switch")
        screenshot(framebuffer, window, os.path.join(artifacts, "window.png"))

        # A raw command in Host/PWD.
        click(window, *HOST_PWD)
        xdotool("key", "ctrl+a")
        xdotool("type", "0x0F")
        xdotool("key", "Return")
        got = line.wait_bytes(10, "the raw command byte")
        check(got[9:10] == b"\x0f", "0x0F and Enter in Host/PWD sent 0x0F")
        wait_status(window, "CMD = 0F")

        # A new password: the old one is refused, the new one accepted.
        click(window, *HOST_PWD)
        xdotool("key", "ctrl+a")
        xdotool("type", "Op3rator")
        xdotool("key", "Return")
        wait_status(window, "New Password= Op3rator")
        old = Client(port)
        clients.append(old)
        check(old.text() == "OK", "a client is greeted")
        old.send("PWDQWK\r\n")
        check(old.text() == "Password/Connection Rejected!" and old.text() == "CLOSE",
              "the old password is refused")
        client = Client(port)
        clients.append(client)
        check(client.text() == "OK", "the next client is greeted")
        client.send("PWDOp3rator\r\n")
        check(client.text() == "Password/Connection Accepted!", "the new password is accepted")
        client.send("Get\r\n")
        check(client.text() == "Stat00010000", "the client sees relay 4 on")

        # "Close" while the client is connected: its connection ends, nothing is sent to it.
        click(window, *CLOSE_BUTTON)
        check(client.closed_by_server(), "Close ended the client's connection")
        wait_for(lambda: "Button close" in open(stdout_path).read(), "the console's Button close")
        check("Op3rator" not in open(stdout_path).read(), "the password is not on the console")
        check(len(line.received()) == 10, "no other byte went to the board")
        screenshot(framebuffer, window, os.path.join(artifacts, "window-after-close.png"))

        # Closing the window ends the program with status 0.
        request_close(int(window))
        try:
            status = server.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            raise Failure("the program still runs after its window was closed")
        check(status == 0, "closing the window ended the program with status 0 (got %s)" % status)
    finally:
        for c in clients:
            c.close()
        if server.poll() is None:
            server.kill()
            server.wait()
        line.close()


def main(argv):
    if len(argv) != 5:
        raise SystemExit(__doc__)
    server_exe, config_exe, artifacts, framebuffer = (os.path.abspath(a) for a in argv[1:5])
    os.makedirs(artifacts, exist_ok=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # finally-blocks still clean up
    with tempfile.TemporaryDirectory(prefix="vexanet-window-") as work:
        try:
            run(server_exe, config_exe, artifacts, framebuffer, work)
        except (Failure, subprocess.SubprocessError, OSError) as e:
            print("FAIL:", e, flush=True)
            for name in ("server-stdout.txt", "server-stderr.txt"):
                path = os.path.join(artifacts, name)
                if os.path.exists(path):
                    print("---", name, flush=True)
                    print(open(path).read(), flush=True)
            return 1
    print("window test passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
