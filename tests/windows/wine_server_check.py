#!/usr/bin/env python3
"""The Windows server (vexanet-server.exe) as a black box under Wine.

Usage: wine_server_check.py WINE_RUN SERVER_EXE CONFIG_TOOL [SERVICE_EXE]

COM1 is a pseudo-terminal of this machine (VEXANET_WINE_COM1, see scripts/wine-run); the
configuration file is written with the (Linux) configuration tool, whose file is the same on
both systems. Checks, as the Linux end-to-end tests do:
  - start-up: the eight relay-off bytes 0x00..0x07 at 9600 8N1 on COM1, then the ready line;
  - a client on loopback: OK, PWD, R1On (byte 0x08 and Stat10000000), Get, Close;
  - Ctrl+C ends the server with exit status 0;
  - with COM2 configured and nothing behind it (VEXANET_COM2=COM199), a relay command shows
    "COM port not communicating." and the client still gets its status line;
  - the web panel (VEXANET_HTTP): GET /api/state answers the relays, PUT /api/relays/2 sends
    0x09 to COM1;
  - the MQTT bridge (when Debian's mosquitto is installed): the server connects to a broker on
    this machine's loopback; a set message sends 0x0B to COM1 and the state is retained;
  - with SERVICE_EXE (vexanet-service.exe): the server as a Windows service in a data folder of
    its own, with vexanet.env there: install, start, a client switches relay 1 (0x08 on COM1),
    status, stop (the log has the status lines, the audit line vexanet.env asked for and the
    stop), remove.
Exit status 0 when every step matched.
"""
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time
import urllib.request

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from testlines import Client, Failure as Failed, SerialLine, free_port  # noqa: E402
from window_driver_wine import wine_programs  # noqa: E402

STEP_TIMEOUT = 60.0  # the first run may have to make the Wine prefix



class Server:
    def __init__(self, wine_run, exe, workdir, com1=None, extra_env=None):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("VEXANET_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env["VEXANET_HEADLESS"] = "1"
        if com1:
            env["VEXANET_WINE_COM1"] = com1
        env.update(extra_env or {})
        self.proc = subprocess.Popen([wine_run, exe], cwd=workdir, env=env,
                                     stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                     start_new_session=True)
        self.pending = b""
        self.lines = []

    def wait_line(self, wanted):
        self.wait_prefix(wanted, exact=True)

    def wait_prefix(self, wanted, exact=False):
        """The first line that is (or starts with) wanted."""
        deadline = time.monotonic() + STEP_TIMEOUT
        while True:
            for line in self.lines:
                if line == wanted or (not exact and line.startswith(wanted)):
                    return line
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failed("no line %r; the server said:\n  %s" % (wanted, "\n  ".join(self.lines)))
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                raise Failed("the server ended; it said:\n  %s" % "\n  ".join(self.lines))
            self.pending += chunk
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                self.lines.append(line.decode(errors="replace").rstrip("\r"))

    def programs(self):
        return wine_programs(self.proc.pid)

    def interrupt(self):
        """Ctrl+C as a console user gives it; the exit status."""
        for pid in self.programs():
            os.kill(pid, signal.SIGINT)
        try:
            return self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        for pid in self.programs() + [self.proc.pid]:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.proc.wait()


def greeted_client(port):
    client = Client(port, timeout=STEP_TIMEOUT, retry_for=STEP_TIMEOUT)
    client.expect("OK", "greeting")
    return client


def write_config(tool, workdir, com, port):
    subprocess.run([tool, "write", os.path.join(workdir, "VexaNetCFG.bin"), "--com", str(com),
                    "--tcp-port", str(port)], check=True, stdout=subprocess.DEVNULL)


def serves_a_client(wine_run, exe, tool):
    line = SerialLine()
    with tempfile.TemporaryDirectory() as workdir:
        port = free_port()
        write_config(tool, workdir, 1, port)
        server = Server(wine_run, exe, workdir, com1=line.path)
        try:
            start = line.wait_bytes(8, "start-up", STEP_TIMEOUT)
            if start != bytes(range(8)):
                raise Failed("start-up bytes on COM1: %s" % start.hex())
            attrs = termios.tcgetattr(line.serial)
            if attrs[4] != termios.B9600 or attrs[5] != termios.B9600:
                raise Failed("COM1 is not at 9600 bit/s")
            if attrs[2] & termios.CSIZE != termios.CS8 or attrs[2] & (termios.PARENB | termios.CSTOPB):
                raise Failed("COM1 is not 8N1")
            server.wait_line("Status: COM1  Vexa  0 minutes  Ready")
            client = greeted_client(port)
            client.send("PWDQWK\r\n")
            client.expect("Password/Connection Accepted!", "password")
            client.send("R1On\r\n")
            client.expect("Stat10000000", "R1On")
            if line.wait_bytes(9, "R1On", STEP_TIMEOUT)[8:9] != b"\x08":
                raise Failed("R1On sent no 0x08 on COM1")
            client.send("Get\r\n")
            client.expect("Stat10000000", "Get")
            client.send("Close\r\n")
            if client.line() is not None:
                raise Failed("the connection stayed open after Close")
            server.wait_line("Status: Awaiting Client Connection")
            status = server.interrupt()
            if status != 0:
                raise Failed("Ctrl+C: exit status %r, not 0" % status)
        finally:
            server.kill()
            line.close()


def line_that_is_not_there(wine_run, exe, tool):
    with tempfile.TemporaryDirectory() as workdir:
        port = free_port()
        write_config(tool, workdir, 2, port)
        # Wine gives the first COM numbers to the machine's own serial devices: point COM2 at
        # a port number nothing answers to.
        server = Server(wine_run, exe, workdir, extra_env={"VEXANET_COM2": "COM199"})
        try:
            server.wait_line("Status: COM2  Vexa  0 minutes  Ready")
            client = greeted_client(port)
            client.send("R1On\r\n")
            client.expect("Stat10000000", "R1On")
            server.wait_line("Status: COM port not communicating.")
        finally:
            server.kill()


def serves_the_web_panel(wine_run, exe, tool):
    line = SerialLine()
    with tempfile.TemporaryDirectory() as workdir:
        port = free_port()
        write_config(tool, workdir, 1, port)
        server = Server(wine_run, exe, workdir, com1=line.path,
                        extra_env={"VEXANET_HTTP": "127.0.0.1:0"})
        try:
            prefix = "Web panel at http://127.0.0.1:"
            web = int(server.wait_prefix(prefix)[len(prefix):].rstrip("/"))
            line.wait_bytes(8, "start-up", STEP_TIMEOUT)
            server.wait_line("Status: COM1  Vexa  0 minutes  Ready")
            base = "http://127.0.0.1:%d" % web
            direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
            with direct.open(base + "/api/state", timeout=STEP_TIMEOUT) as r:
                state = json.load(r)
            if state["relays"] != [False] * 8 or state["serial"] != "up":
                raise Failed("GET /api/state: %r" % state)
            put = urllib.request.Request(base + "/api/relays/2", data=b'{"on":true}', method="PUT",
                                         headers={"Content-Type": "application/json"})
            with direct.open(put, timeout=STEP_TIMEOUT) as r:
                state = json.load(r)
            if state["relays"][1] is not True or state["status"] != "Stat01000000":
                raise Failed("PUT /api/relays/2: %r" % state)
            if line.wait_bytes(9, "PUT", STEP_TIMEOUT)[8:9] != b"\x09":
                raise Failed("PUT /api/relays/2 sent no 0x09 on COM1")
        finally:
            server.kill()
            line.close()


def bridges_mqtt(wine_run, exe, tool):
    line = SerialLine()
    broker_port = free_port(20000, 60000)
    with tempfile.TemporaryDirectory() as workdir:
        config = os.path.join(workdir, "mosquitto.conf")
        with open(config, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % broker_port)
        broker = subprocess.Popen(["mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        port = free_port()
        write_config(tool, workdir, 1, port)
        server = Server(wine_run, exe, workdir, com1=line.path,
                        extra_env={"VEXANET_MQTT": "mqtt://127.0.0.1:%d" % broker_port,
                                   "VEXANET_MQTT_PREFIX": "wine/vexanet"})
        try:
            server.wait_line("Status: COM1  Vexa  0 minutes  Ready")
            server.wait_prefix("MQTT: connected to mqtt://127.0.0.1:%d" % broker_port)
            line.wait_bytes(8, "start-up", STEP_TIMEOUT)
            subprocess.run(["mosquitto_pub", "-p", str(broker_port), "-q", "1",
                            "-t", "wine/vexanet/relay/4/set", "-m", "on"], check=True,
                           timeout=STEP_TIMEOUT)
            if line.wait_bytes(9, "relay/4/set", STEP_TIMEOUT)[8:9] != b"\x0b":
                raise Failed("relay/4/set sent no 0x0B on COM1: %s" % line.received().hex())
            deadline = time.monotonic() + STEP_TIMEOUT
            while True:
                got = subprocess.run(["mosquitto_sub", "-p", str(broker_port), "--retained-only",
                                      "-W", "2", "-v", "-t", "wine/vexanet/relay/4"],
                                     stdout=subprocess.PIPE, timeout=STEP_TIMEOUT)
                if got.stdout.decode(errors="replace").strip() == "wine/vexanet/relay/4 ON":
                    break
                if time.monotonic() > deadline:
                    raise Failed("the broker keeps %r for relay 4" % got.stdout)
        finally:
            server.kill()
            broker.terminate()
            broker.wait()
            line.close()


def windows_path(path):
    """The path as Wine's programs see it (drive Z: is the machine's root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def runs_as_a_service(wine_run, exe, tool, service_exe):
    line = SerialLine()
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("VEXANET_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}

    def service(*args, expect):
        done = subprocess.run([wine_run, service_exe] + list(args), env=env, timeout=STEP_TIMEOUT,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL)
        said = done.stdout.decode(errors="replace")
        if done.returncode != 0 or expect not in said:
            raise Failed("vexanet-service %s: exit status %d, said:\n%s"
                         % (args[0], done.returncode, said))

    with tempfile.TemporaryDirectory() as workdir:
        port = free_port()
        write_config(tool, workdir, 1, port)
        with open(os.path.join(workdir, "vexanet.env"), "w") as f:
            f.write("# the service's settings\nVEXANET_AUDIT=1\n")
        # The service manager starts the server, not wine-run: a program that waits under wine-run
        # keeps COM1 pointed at the pseudo-terminal (and Wine's session up) meanwhile.
        holder = subprocess.Popen([wine_run, "cmd", "/c", "pause"],
                                  env=dict(env, VEXANET_WINE_COM1=line.path),
                                  stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        installed = False
        try:
            service("install", "--data-folder", windows_path(workdir), "--server",
                    windows_path(exe), expect="Service VexaNet installed")
            installed = True
            service("start", expect="Service VexaNet running")
            if line.wait_bytes(8, "start-up", STEP_TIMEOUT) != bytes(range(8)):
                raise Failed("start-up bytes on COM1: %s" % line.received().hex())
            client = greeted_client(port)
            client.send("R1On\r\n")
            client.expect("Stat10000000", "R1On")
            if line.wait_bytes(9, "R1On", STEP_TIMEOUT)[8:9] != b"\x08":
                raise Failed("R1On sent no 0x08 on COM1")
            client.close()
            service("status", expect="Service VexaNet is running")
            service("stop", expect="Service VexaNet stopped")
            with open(os.path.join(workdir, "vexanet-server.log"), errors="replace") as f:
                log = f.read()
            for wanted in ("Settings from vexanet.env: VEXANET_AUDIT",
                           "Status: COM1  Vexa  0 minutes  Ready",
                           "Audit: relay=1 off->on by=client/127.0.0.1:",
                           "Service stop requested: stopping"):
                if wanted not in log:
                    raise Failed("the service's log has no %r; it has:\n%s" % (wanted, log))
            try:
                socket.create_connection(("127.0.0.1", port), timeout=5).close()
                raise Failed("the port still takes connections after the stop")
            except ConnectionRefusedError:
                pass
            service("remove", expect="Service VexaNet removed")
            installed = False
            service("status", expect="Service VexaNet is not installed")
        finally:
            if installed:
                subprocess.run([wine_run, service_exe, "remove"], env=env, timeout=STEP_TIMEOUT,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            holder.stdin.close()
            try:
                holder.wait(timeout=STEP_TIMEOUT)
            except subprocess.TimeoutExpired:
                os.killpg(holder.pid, signal.SIGKILL)
                holder.wait()
            line.close()


def main():
    if len(sys.argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        return 2
    wine_run, exe, tool = (os.path.abspath(a) for a in sys.argv[1:4])
    steps = [("serves a client on COM1", serves_a_client),
             ("COM port not there", line_that_is_not_there),
             ("serves the web panel", serves_the_web_panel)]
    if shutil.which("mosquitto") and shutil.which("mosquitto_pub"):
        steps.append(("bridges to an MQTT broker", bridges_mqtt))
    else:
        print("MQTT bridge not checked: needs mosquitto and mosquitto-clients", flush=True)
    if len(sys.argv) == 5:
        service_exe = os.path.abspath(sys.argv[4])
        steps.append(("runs as a Windows service",
                      lambda w, e, t: runs_as_a_service(w, e, t, service_exe)))
    for name, step in steps:
        try:
            step(wine_run, exe, tool)
            print("passed: " + name, flush=True)
        except Failed as e:
            print("FAILED: %s: %s" % (name, e), flush=True)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
