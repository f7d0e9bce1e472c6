#!/usr/bin/env python3
"""The Windows build under Wine against the Linux build, measured the same way in one run.

Both servers run headless with COM1 on a pseudo-terminal of this script's own (the Windows one
through scripts/wine-run, which maps COM1 to it) and a free loopback port. For each, this script
measures from outside, on one thread, with the same calls:
  - "Get" round trip: the line sent, to the status line received;
  - "R1On" -> byte: the line sent, to the command byte read on the pseudo-terminal's master end.
It prints the medians and 95th percentiles of both builds and the Windows build's figures as
ratios to the Linux build's. Wine adds its own cost to every system call; the ratios say how much.

  bench/wine_bench.py LINUX_SERVER WINDOWS_SERVER.exe WINE_RUN CONFIG_TOOL [--rounds N]
"""
import argparse
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "windows"))
from window_driver_wine import wine_programs  # noqa: E402

DEADLINE = 30.0


def free_port():
    for port in range(3002, 3128):
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port from 3002 to 3127")


def read_bytes(fd, count):
    """Reads count bytes from fd; the time the first one arrived."""
    got, first = b"", None
    end = time.monotonic() + DEADLINE
    while len(got) < count:
        left = end - time.monotonic()
        if left <= 0:
            raise RuntimeError("no byte on the serial line")
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            chunk = os.read(fd, 256)
            if first is None:
                first = time.perf_counter()
            got += chunk
    return first


class Server:
    def __init__(self, command, env, workdir, wine):
        self.lines, self.wine = [], wine
        self.proc = subprocess.Popen(command, cwd=workdir, env=env, stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        self.ready = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            self.lines.append(line)
            if line.endswith("minutes  Ready"):
                self.ready.set()

    def stop(self):
        pids = wine_programs(self.proc.pid) if self.wine else []
        for pid in pids + [self.proc.pid]:
            try:
                os.kill(pid, signal.SIGKILL if self.wine else signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()


def measure(name, command, env_extra, config_tool, rounds, wine):
    master, serial = os.openpty()
    tty.setraw(serial)
    serial_path = os.ttyname(serial)
    with tempfile.TemporaryDirectory(prefix="vexanet-wine-bench-") as work:
        port = free_port()
        subprocess.run([config_tool, "write", os.path.join(work, "VexaNetCFG.bin"), "--tcp-port",
                        str(port)], check=True, stdout=subprocess.DEVNULL)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("VEXANET_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env["VEXANET_HEADLESS"] = "1"
        env.update({k: v.replace("@SERIAL@", serial_path) for k, v in env_extra.items()})
        server = Server(command, env, work, wine)
        try:
            if not server.ready.wait(60):
                raise RuntimeError(name + ": no ready line:\n  " + "\n  ".join(server.lines))
            read_bytes(master, 8)  # the start-up bytes
            client = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            reader = client.makefile("rb")
            assert reader.readline().strip() == b"OK"
            gets, bytes_ = [], []
            for i in range(rounds + rounds // 10):  # the first tenth warms up
                t0 = time.perf_counter()
                client.sendall(b"Get\r\n")
                reader.readline()
                if i >= rounds // 10:
                    gets.append(time.perf_counter() - t0)
            relays = max(10, rounds // 50)
            for i in range(relays + 2):  # two warm up
                t0 = time.perf_counter()
                client.sendall(b"R1On\r\n")
                first = read_bytes(master, 1)
                reader.readline()  # the status line, after the 150 ms pause
                if i >= 2:
                    bytes_.append(first - t0)
            client.close()
        finally:
            server.stop()
            os.close(master)
            os.close(serial)
    return gets, bytes_


def stats(samples):
    s = sorted(samples)
    return s[len(s) // 2] * 1e6, s[min(len(s) - 1, int(len(s) * 0.95))] * 1e6


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("linux_server")
    ap.add_argument("windows_server")
    ap.add_argument("wine_run")
    ap.add_argument("config_tool")
    ap.add_argument("--rounds", type=int, default=500)
    a = ap.parse_args()
    for name in ("linux_server", "windows_server", "wine_run", "config_tool"):
        setattr(a, name, os.path.abspath(getattr(a, name)))  # the servers run in a folder of their own
    linux = measure("Linux", [a.linux_server], {"VEXANET_COM1": "@SERIAL@"}, a.config_tool,
                    a.rounds, wine=False)
    windows = measure("Windows", [a.wine_run, a.windows_server], {"VEXANET_WINE_COM1": "@SERIAL@"},
                      a.config_tool, a.rounds, wine=True)
    print("| Measure | Samples | Linux median / p95 | Windows under Wine median / p95 "
          "| Ratio Windows/Linux (median / p95) |")
    print("|---|---|---|---|---|")
    for label, lin, win in (('"Get" round trip', linux[0], windows[0]),
                            ('"R1On" sent -> command byte on the serial end', linux[1], windows[1])):
        lm, lp = stats(lin)
        wm, wp = stats(win)
        print("| %s | %d | %.0f µs / %.0f µs | %.0f µs / %.0f µs | %.2f× / %.2f× |"
              % (label, len(win), lm, lp, wm, wp, wm / lm, wp / lp))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
