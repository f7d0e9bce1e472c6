#!/usr/bin/env python3
"""Drives the Windows server's own window under Wine on an X display as an operator would, with
xdotool, and checks the effects on COM1 (a pseudo-terminal), on a loopback client and in the
window's status field.

usage: window_driver_wine.py WINE_RUN SERVER_EXE CONFIG_TOOL ARTIFACT_DIR FRAMEBUFFER_FILE

Run by window_test.sh inside xvfb-run. The helpers of the Linux window test (tests/e2e/
window_driver.py) do the X11 side: xdotool, the status field read through the clipboard (Wine
hands the window's clipboard to X), the close request and the screenshots cut from Xvfb's screen
file. Two runs of the server:
  1. automatic acceptance: selector 4 to "On" (0x0B on COM1, Stat00010000 to the client and in
     the status field), 0x0F and Enter in Host/PWD (0x0F on COM1), "Close" ends the client's
     connection and the next client is greeted, closing the window ends the program with 0
     while that client is connected;
  2. manual acceptance (vexanet-config write ... --manual): no listening socket, "Let Client
     Connect" stays disabled (dark grey) and a click on it lets no client in; Ctrl+C (SIGINT to
     the Wine loader, never to Wine's own server) ends the program with 0.
Exit status 0 when every check passed.
"""
import collections
import errno
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import window_driver as wd  # noqa: E402  (the Linux window test's helpers)
from window_driver import Failure, check  # noqa: E402

TITLE = "^VexaNet Server$"
START_DEADLINE = 60.0  # seconds until the window shows; the first run may make the Wine prefix
DEADLINE = 20.0        # every other wait; only a hang ever reaches it
CONNECT_BUTTON = (300, 160)  # centre of "Let Client Connect" in the window's client area
CONNECT_RECT = (240, 148, 120, 24)  # its left, top, width, height
NO_DISPLAY = "No display: running without a window"


def log(*parts):
    print(*parts, flush=True)


# ---- Wine --------------------------------------------------------------------------------------

def wine_prefix(wine_run):
    """The prefix wine-run will use: WINEPREFIX, or its default next to the checkout."""
    default = os.path.join(os.path.dirname(wine_run), "..", "build", "windows", "wineprefix")
    return os.path.abspath(os.environ.get("WINEPREFIX") or default)


def wineserver():
    return os.path.join(os.path.dirname(os.environ.get("WINE", "/usr/lib/wine/wine64")),
                        "wineserver")


def wait_for_wine_session_end(wine_run, what):
    """Waits until the Wine session of the prefix has ended (wineserver -w; no signal is sent).

    A new Wine program joins the session that is still running in its prefix and draws on that
    session's display: a session left over from a program without a display (or from another X
    server) would give the server no window here. Wine ends an idle session a few seconds after
    its last program.
    """
    prefix = wine_prefix(wine_run)
    if not os.path.isdir(prefix):
        return  # wine-run makes it
    env = dict(os.environ, WINEPREFIX=prefix)
    try:
        subprocess.run([wineserver(), "-w"], env=env, timeout=DEADLINE,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        raise Failure("%s: other Wine programs still run in %s; the window test needs the prefix "
                      "to itself (or set WINEPREFIX to a prefix of its own)" % (what, prefix))


def wine_programs(pid):
    """The Wine loader that wine-run (process `pid`) started: its child, or wine-run itself after
    an exec. Wine's own server process is left alone; it ends by itself when its programs are
    gone."""
    found = subprocess.run(["ps", "-o", "pid=,comm=", "--ppid", str(pid)],
                           capture_output=True, text=True).stdout.splitlines()
    pids = [int(line.split()[0]) for line in found
            if line.split() and not line.split()[1].startswith("wineserver")]
    return pids or [pid]


class WineServerProcess:
    """vexanet-server.exe started through wine-run with COM1 on a pseudo-terminal."""

    def __init__(self, wine_run, exe, workdir, com1, stdout_path, stderr_path):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("VEXANET_") and k != "WAYLAND_DISPLAY"}
        env["VEXANET_WINE_COM1"] = com1
        self.stdout_path = stdout_path
        self.workdir = workdir
        # Wine's own server, started by the first program of a session, inherits the standard
        # error and writes a dump of its objects there when it ends (see tidy_wine_output).
        with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
            self.proc = subprocess.Popen([wine_run, exe], cwd=workdir, env=env, stdout=out,
                                         stderr=err, stdin=subprocess.DEVNULL,
                                         start_new_session=True)

    def output(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode(errors="replace")

    def programs(self):
        return wine_programs(self.proc.pid)

    def interrupt(self):
        """Ctrl+C as a console user gives it; the exit status, None when it did not end."""
        for pid in self.programs():
            try:
                os.kill(pid, signal.SIGINT)
            except ProcessLookupError:
                pass
        try:
            return self.proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.proc.poll() is None and self.interrupt() is None:
            for pid in self.programs() + [self.proc.pid]:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            self.proc.wait()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def wait_window(self):
        """The id of the server's window, found with xdotool search --sync."""
        search = subprocess.Popen(["xdotool", "search", "--sync", "--onlyvisible", "--name",
                                   TITLE], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True)
        try:
            end = time.monotonic() + START_DEADLINE
            while True:
                try:
                    out, _ = search.communicate(timeout=0.2)
                    ids = out.split()
                    if search.returncode != 0 or not ids:
                        raise Failure("xdotool search failed (status %s)" % search.returncode)
                    return ids[0]
                except subprocess.TimeoutExpired:
                    pass
                if self.proc.poll() is not None:
                    raise Failure("the program ended with status %s before its window showed"
                                  % self.proc.returncode)
                if NO_DISPLAY in self.output():
                    raise Failure("the program found no display and runs without a window")
                if time.monotonic() > end:
                    raise Failure("timed out waiting for the window")
        finally:
            if search.poll() is None:
                search.kill()
                search.wait()


# ---- the window ----------------------------------------------------------------------------------

def visible_windows():
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", ""],
                           capture_output=True, text=True, timeout=DEADLINE).stdout.split()
    return found


def geometry(window):
    values = dict(line.split("=", 1) for line in
                  wd.xdotool("getwindowgeometry", "--shell", window).split())
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def dropped_list(window, n):
    """The dropped list of selector n: a visible window of its own below the selector."""
    wx, wy, _, _ = geometry(window)
    left = wx + wd.selector_x(n) - 25
    for candidate in visible_windows():
        if candidate == window:
            continue
        try:
            x, y, w, h = geometry(candidate)
        except Failure:
            continue  # gone meanwhile
        if x <= left + 2 < x + w and wy + wd.SELECTOR_Y < y < wy + wd.SELECTOR_Y + 40 and h > 20:
            return candidate, h
    return None


def choose(window, n, item):
    """Opens selector n with a click and clicks its item (0 "Off", 1 "On") in the dropped list."""
    wd.click(window, wd.selector_x(n), wd.SELECTOR_Y)
    found = wd.wait_for(lambda: dropped_list(window, n), "the dropped list of selector %d" % n,
                        timeout=DEADLINE, interval=0.05)
    listing, height = found
    # Two items of equal height fill the list, "Off" above "On".
    wd.click(listing, 25, height // 4 if item == 0 else height * 3 // 4)
    wd.wait_for(lambda: listing not in visible_windows(), "the dropped list to close",
                timeout=DEADLINE)


def wait_status(window, text):
    wd.wait_for(lambda: wd.status_text(window) == text, "status field to show %r" % text,
                timeout=DEADLINE, interval=0.1)
    check(True, "status field shows %r" % text)


def enter_in_host_pwd(window, text):
    wd.click(window, *wd.HOST_PWD)
    wd.xdotool("key", "ctrl+a")
    wd.xdotool("type", text)
    wd.xdotool("key", "Return")


def screen_pixels(framebuffer, left, top, width, height):
    """The RGB colours of a rectangle of the screen, from Xvfb's screen file (XWD)."""
    with open(framebuffer, "rb") as f:
        data = f.read()
    header_size = struct.unpack(">I", data[0:4])[0]
    fields = struct.unpack(">25I", data[0:100])
    byte_order, bits_per_pixel, stride = fields[7], fields[11], fields[12]
    masks, ncolors = fields[14:17], fields[19]
    if bits_per_pixel != 32:
        raise Failure("unexpected screen dump format")
    shifts = [(m & -m).bit_length() - 1 for m in masks]
    order = "little" if byte_order == 0 else "big"
    offset = header_size + ncolors * 12
    pixels = []
    for row in range(top, top + height):
        for col in range(left, left + width):
            start = offset + row * stride + col * 4
            p = int.from_bytes(data[start:start + 4], order)
            pixels.append(tuple(((p & m) >> s) & 0xFF for m, s in zip(masks, shifts)))
    return pixels


def connect_button_colour(framebuffer, window):
    """The colour most of "Let Client Connect" is drawn in (inside its 2-pixel edge)."""
    wx, wy, _, _ = geometry(window)
    x, y, w, h = CONNECT_RECT
    pixels = screen_pixels(framebuffer, wx + x + 3, wy + y + 3, w - 6, h - 6)
    return collections.Counter(pixels).most_common(1)[0][0]


# ---- the network ---------------------------------------------------------------------------------

def refused(port):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
    except ConnectionRefusedError:
        return True
    except OSError as e:
        return e.errno == errno.ECONNREFUSED
    s.close()
    return False


def write_config(tool, workdir, port, *extra):
    subprocess.run([tool, "write", os.path.join(workdir, "VexaNetCFG.bin"), "--com", "1",
                    "--tcp-port", str(port), *extra], check=True, stdout=subprocess.DEVNULL,
                   timeout=DEADLINE)


# ---- the runs ------------------------------------------------------------------------------------

def start(wine_run, exe, tool, artifacts, name, line, *config):
    workdir = tempfile.mkdtemp(prefix="vexanet-wine-window-")
    try:
        port = wd.free_port()
        write_config(tool, workdir, port, *config)
        wait_for_wine_session_end(wine_run, name)
        server = WineServerProcess(wine_run, exe, workdir, line.path,
                                   os.path.join(artifacts, "server-stdout-%s.txt" % name),
                                   os.path.join(artifacts, "server-stderr-%s.txt" % name))
    except BaseException:
        shutil.rmtree(workdir, ignore_errors=True)
        raise
    return server, port


def wait_bytes(line, count, what):
    """All bytes COM1 has received, once there are at least count."""
    return wd.wait_for(lambda: len(line.received()) >= count and line.received(), what,
                       timeout=DEADLINE)


def started(server, line):
    window = server.wait_window()
    check(True, "window %s is visible" % window)
    got = wait_bytes(line, 8, "the start-up bytes")
    check(got[:8] == bytes(range(8)), "start-up switched relays 1 to 8 off on COM1")
    wait_status(window, "COM1  Vexa  0 minutes  Ready")
    return window


def automatic(wine_run, exe, tool, artifacts, framebuffer):
    line = wd.SerialLine()
    try:
        server, port = start(wine_run, exe, tool, artifacts, "automatic", line)
    except BaseException:
        line.close()
        raise
    clients = []
    try:
        window = started(server, line)
        client = wd.Client(port)
        clients.append(client)
        check(client.text() == "OK", "a client is greeted")
        client.send("PWDQWK\r\n")
        check(client.text() == "Password/Connection Accepted!", "the client is let in")

        # Selector 4 to "On", with the mouse in its dropped list.
        choose(window, 4, 1)
        got = wait_bytes(line, 9, "the byte of selector 4")
        check(got[8:9] == b"\x0b", "choosing On in selector 4 sent 0x0B on COM1")
        check(client.text() == "Stat00010000", "the client got Stat00010000")
        wait_status(window, "Stat00010000")
        wd.screenshot(framebuffer, window, os.path.join(artifacts, "window-windows.png"))

        # A raw command in Host/PWD: the byte goes out, the relay states stay.
        enter_in_host_pwd(window, "0x0F")
        got = wait_bytes(line, 10, "the raw command byte")
        check(got[9:10] == b"\x0f", "0x0F and Enter in Host/PWD sent 0x0F on COM1")
        wait_status(window, "CMD = 0F")
        client.send("Get\r\n")
        check(client.text() == "Stat00010000", "the relay states are unchanged after 0x0F")

        # "Close" while the client is connected: its connection ends, the next client is greeted.
        wd.click(window, *wd.CLOSE_BUTTON)
        check(client.closed_by_server(), "Close ended the client's connection")
        wd.wait_for(lambda: "Button close" in server.output(), "the console's Button close",
                    timeout=DEADLINE)
        wait_status(window, "Awaiting Client Connection")
        following = wd.Client(port)
        clients.append(following)
        check(following.text() == "OK", "the next client is greeted")
        check(len(line.received()) == 10, "no other byte went to COM1")
        wd.screenshot(framebuffer, window, os.path.join(artifacts, "window-windows-closed.png"))

        # Closing the window ends the program with status 0, with the client still connected.
        wd.request_close(int(window))
        try:
            status = server.proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            raise Failure("the program still runs after its window was closed")
        check(status == 0, "closing the window ended the program with status 0 (got %s)" % status)
        check(following.closed_by_server(), "the connected client saw its connection end")
    finally:
        for c in clients:
            c.close()
        server.stop()
        line.close()


def manual(wine_run, exe, tool, artifacts, framebuffer):
    line = wd.SerialLine()
    try:
        server, port = start(wine_run, exe, tool, artifacts, "manual", line, "--manual")
    except BaseException:
        line.close()
        raise
    try:
        window = started(server, line)
        check(refused(port), "manual acceptance: no listening socket, a client is refused")
        colour = wd.wait_for(lambda: connect_button_colour(framebuffer, window) == (64, 64, 64),
                             "Let Client Connect drawn dark grey", timeout=DEADLINE)
        check(colour, "Let Client Connect is disabled (dark grey)")
        wd.click(window, *CONNECT_BUTTON)
        # The operator's actions run in order: once the next one has shown its status text, the
        # click has been handled. "0x" alone is a raw command without bytes.
        enter_in_host_pwd(window, "0x")
        wait_status(window, "CMD = ")
        check(refused(port), "a click on Let Client Connect lets no client in")
        check(connect_button_colour(framebuffer, window) == (64, 64, 64),
              "Let Client Connect is still dark grey")
        wd.screenshot(framebuffer, window, os.path.join(artifacts, "window-windows-manual.png"))
        check(len(line.received()) == 8, "no other byte went to COM1")
        status = server.interrupt()
        check(status == 0, "Ctrl+C ended the program with status 0 (got %s)" % status)
    finally:
        server.stop()
        line.close()


def tidy_wine_output(artifacts):
    """Drops the object dump of Wine's own server from the saved standard error: megabytes of
    lines that start with an address or an indent. Wine's messages and the program's stay."""
    dump = re.compile(r"^(0x[0-9a-f]+:|\s)")
    for entry in os.listdir(artifacts):
        if entry.startswith("server-stderr-"):
            path = os.path.join(artifacts, entry)
            with open(path, errors="replace") as f:
                kept = [text for text in f if not dump.match(text)]
            with open(path, "w") as f:
                f.writelines(kept)


def main(argv):
    if len(argv) != 6:
        raise SystemExit(__doc__)
    wine_run, exe, tool, artifacts, framebuffer = (os.path.abspath(a) for a in argv[1:6])
    os.makedirs(artifacts, exist_ok=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # finally-blocks still clean up
    began = time.monotonic()
    failed = False
    for name, run in (("automatic acceptance", automatic), ("manual acceptance", manual)):
        try:
            run(wine_run, exe, tool, artifacts, framebuffer)
            log("passed:", name)
        except (Failure, subprocess.SubprocessError, OSError) as e:
            log("FAIL: %s: %s" % (name, e))
            failed = True
            break
    # Let the Wine session end while its display still exists, so that the next program in this
    # prefix starts a session of its own.
    try:
        wait_for_wine_session_end(wine_run, "at the end")
    except Failure as e:
        log("note:", e)
    tidy_wine_output(artifacts)
    if failed:
        for entry in sorted(os.listdir(artifacts)):
            if entry.startswith("server-std"):
                log("---", entry)
                with open(os.path.join(artifacts, entry), errors="replace") as f:
                    log(f.read().rstrip("\n"))
        return 1
    log("window test passed in %.1f s" % (time.monotonic() - began))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
