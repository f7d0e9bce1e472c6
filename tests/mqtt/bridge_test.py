#!/usr/bin/python3
"""The MQTT bridge against a real broker: Debian's mosquitto, started here on a free loopback port.

Usage: bridge_test.py SERVER CONFIG_TOOL BOARD

The built server runs headless with COM1 on the simulated board (vexanet-board --json, which
prints every byte it gets and can be unplugged and plugged back) and VEXANET_MQTT naming the
broker. A watching client (paho) records what the broker holds and forwards. Steps:
  - the broker not there at start: the server gets ready and serves a client all the same, says
    so once, and connects when the broker comes;
  - discovery: eight retained config messages that parse as JSON with the fields Home
    Assistant needs; states OFF, availability online;
  - set: relay/2/set "on" sends 0x09 to the board and retains relay/2 ON; a line client's R5On
    is retained as relay/5 ON within a second; a payload other than ON/OFF switches nothing;
  - the broker stopped and started again: one console line each way, the line protocol served
    meanwhile, and the bridge republishes (the broker keeps nothing across its restart here);
  - the serial line unplugged: availability offline; plugged back: online and the states again;
  - 10,000 set messages in a burst: a line client is answered meanwhile, the server's memory
    grows by less than 32 MiB, and every relay ends as its last message said;
  - the server killed with SIGKILL: the broker publishes the last will, offline.
Exit status 0 when every step matched, 1 when one failed, 77 (skipped) when mosquitto or the
paho module is missing.
"""
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from testlines import Client, Failure, check, free_port, wait_for  # noqa: E402

try:
    import paho.mqtt.client as paho  # Debian's python3-paho-mqtt
except ImportError:
    paho = None

DEADLINE = 20.0


class Broker:
    """mosquitto on a loopback port of its own; stop and start keep the port."""

    def __init__(self, workdir, start=True):
        self.port = free_port(20000, 60000)
        self.config = os.path.join(workdir, "mosquitto.conf")
        with open(self.config, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % self.port)
        self.log = open(os.path.join(workdir, "mosquitto.log"), "ab")
        self.proc = None
        if start:
            self.start()

    def start(self):
        self.proc = subprocess.Popen(["mosquitto", "-c", self.config], stdout=self.log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        wait_for(self._listening, "the broker to listen", DEADLINE)

    def _listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=DEADLINE)
        self.proc = None


class Watcher:
    """A client subscribed to everything: the latest payload of each topic, and a log."""

    def __init__(self, port):
        self.lock = threading.Lock()
        self.latest = {}
        self.log = []  # (topic, payload, retained)
        self.client = paho.Client()
        self.client.on_message = self._message
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("#", qos=1)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def _message(self, client, userdata, message):
        with self.lock:
            payload = message.payload.decode(errors="replace")
            self.latest[message.topic] = payload
            self.log.append((message.topic, payload, message.retain))

    def get(self, topic):
        with self.lock:
            return self.latest.get(topic)

    def mark(self):
        with self.lock:
            return len(self.log)

    def since(self, mark):
        with self.lock:
            return list(self.log[mark:])

    def wait(self, topic, payload, what, timeout=DEADLINE):
        wait_for(lambda: self.get(topic) == payload, "%s (%s = %s; now %r)"
                 % (what, topic, payload, self.get(topic)), timeout)

    def publish(self, topic, payload):
        self.client.publish(topic, payload, qos=1)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Board:
    """The simulated board on a link; the bytes it got, in order."""

    def __init__(self, exe, link):
        self.proc = subprocess.Popen([exe, "--json", "--quiet", "--link", link],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     stdin=subprocess.DEVNULL)
        self.lock = threading.Lock()
        self.bytes = []
        self.link = link
        threading.Thread(target=self._read, daemon=True).start()
        wait_for(lambda: os.path.islink(link), "the board's link", DEADLINE)

    def _read(self):
        for line in self.proc.stdout:
            try:
                byte = json.loads(line)["byte"]
            except (ValueError, KeyError):
                continue
            with self.lock:
                self.bytes.append(byte)

    def received(self):
        with self.lock:
            return list(self.bytes)

    def unplug(self):
        self.proc.send_signal(signal.SIGUSR1)
        wait_for(lambda: not os.path.lexists(self.link), "the board unplugged", DEADLINE)

    def plug_back(self):
        self.proc.send_signal(signal.SIGUSR2)
        wait_for(lambda: os.path.islink(self.link), "the board plugged back", DEADLINE)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=DEADLINE)


class Server:
    def __init__(self, exe, tool, workdir, com1, broker_port, prefix):
        self.port = free_port()
        subprocess.run([tool, "write", os.path.join(workdir, "VexaNetCFG.bin"), "--com", "1",
                        "--tcp-port", str(self.port)], check=True, stdout=subprocess.DEVNULL)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("VEXANET_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update({"VEXANET_COM1": com1, "VEXANET_HEADLESS": "1",
                    "VEXANET_MQTT": "mqtt://127.0.0.1:%d" % broker_port,
                    "VEXANET_MQTT_PREFIX": prefix})
        self.out = open(os.path.join(workdir, "server.out"), "w+b")
        self.proc = subprocess.Popen([exe], cwd=workdir, env=env, stdout=self.out,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.wait_line("Status: COM1  Vexa  0 minutes  Ready")

    def lines(self):
        self.out.flush()
        self.out.seek(0)
        return self.out.read().decode(errors="replace").splitlines()

    def count(self, prefix):
        return sum(1 for line in self.lines() if line.startswith(prefix))

    def wait_line(self, prefix, count=1, timeout=DEADLINE):
        try:
            wait_for(lambda: self.count(prefix) >= count, "the line %r" % prefix, timeout)
        except Failure:
            raise Failure("no line %r (%d wanted); the server said:\n  %s"
                          % (prefix, count, "\n  ".join(self.lines()[-40:])))

    def memory_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.out.close()


def line_switch(port, word, stat):
    client = Client(port, timeout=DEADLINE, retry_for=DEADLINE)
    try:
        client.expect("OK", "greeting")
        client.send(word + "\r\n")
        client.expect(stat, word)
        client.send("Close\r\n")
    finally:
        client.close()


def discovery_and_switching(ctx):
    w, prefix, server, board = ctx["watcher"], ctx["prefix"], ctx["server"], ctx["board"]
    node = prefix.replace("/", "_")
    for n in range(1, 9):
        topic = "homeassistant/switch/%s/relay%d/config" % (node, n)
        wait_for(lambda: w.get(topic), "the discovery message " + topic, DEADLINE)
        config = json.loads(w.get(topic))
        for field in ("name", "unique_id", "command_topic", "state_topic", "availability_topic",
                      "payload_on", "payload_off", "device"):
            check(field in config, "%s has no %s: %r" % (topic, field, config))
        check(config["command_topic"] == "%s/relay/%d/set" % (prefix, n)
              and config["state_topic"] == "%s/relay/%d" % (prefix, n)
              and config["availability_topic"] == prefix + "/availability"
              and (config["payload_on"], config["payload_off"]) == ("ON", "OFF"),
              "%s: wrong topics or payloads: %r" % (topic, config))
        check(config["device"].get("identifiers") == [node], "one device for all eight: %r"
              % config["device"])
        w.wait(prefix + "/relay/%d" % n, "OFF", "the start state")
    w.wait(prefix + "/availability", "online", "availability")
    check(len({json.loads(w.get("homeassistant/switch/%s/relay%d/config" % (node, n)))["unique_id"]
               for n in range(1, 9)}) == 8, "the unique ids are not unique")

    before = len(board.received())
    w.publish(prefix + "/relay/2/set", "on")
    wait_for(lambda: 0x09 in board.received()[before:], "0x09 for relay/2/set on", DEADLINE)
    w.wait(prefix + "/relay/2", "ON", "the state after set")
    server.wait_line("MQTT request: relay 2 on")

    started = time.monotonic()
    line_switch(server.port, "R5On", "Stat01001000")
    w.wait(prefix + "/relay/5", "ON", "a line client's switch", timeout=5.0)
    took = time.monotonic() - started
    check(took < 5.0, "the line client's switch reached the broker after %.1f s" % took)

    before = len(board.received())
    w.publish(prefix + "/relay/3/set", "maybe")
    w.publish(prefix + "/relay/9/set", "ON")
    server.wait_line("MQTT: %s/relay/3/set: \"maybe\" is not ON or OFF; ignored" % prefix)
    server.wait_line("MQTT: topic %s/relay/9/set ignored" % prefix)
    time.sleep(0.5)
    check(len(board.received()) == before, "an unknown payload or topic switched something: %r"
          % board.received()[before:])
    w.wait(prefix + "/status", "Awaiting Client Connection", "the status text")


def broker_restart(ctx):
    broker, server, prefix = ctx["broker"], ctx["server"], ctx["prefix"]
    ctx["watcher"].close()
    broker.stop()
    server.wait_line("MQTT: lost mqtt://127.0.0.1:%d" % broker.port)
    # Served while the broker is away (its tries to reconnect never hold the relays up).
    line_switch(server.port, "R1On", "Stat11001000")
    time.sleep(3.5)  # two or three tries to reconnect: still one line
    check(server.count("MQTT: lost ") == 1 and server.count("MQTT: cannot reach") == 1,
          "more than one console line while the broker was away:\n  "
          + "\n  ".join(l for l in server.lines() if l.startswith("MQTT")))
    broker.start()
    server.wait_line("MQTT: connected to", count=2, timeout=90.0)
    w = ctx["watcher"] = Watcher(broker.port)
    for n, state in zip(range(1, 9), ["ON", "ON", "OFF", "OFF", "ON", "OFF", "OFF", "OFF"]):
        w.wait(prefix + "/relay/%d" % n, state, "the state republished after the restart")
    w.wait(prefix + "/availability", "online", "availability after the restart")


def serial_unplugged(ctx):
    w, board, prefix = ctx["watcher"], ctx["board"], ctx["prefix"]
    board.unplug()
    line_switch(ctx["server"].port, "R3On", "Stat11101000")  # the failed write finds it gone
    w.wait(prefix + "/availability", "offline", "availability with the line unplugged")
    mark = w.mark()
    board.plug_back()
    w.wait(prefix + "/availability", "online", "availability with the line back")
    wait_for(lambda: {t for t, _, _ in w.since(mark) if t.startswith(prefix + "/relay/")}
             >= {prefix + "/relay/%d" % n for n in range(1, 9)},
             "the eight states sent again once the line is back", DEADLINE)


def burst(ctx):
    w, server, board, prefix = ctx["watcher"], ctx["server"], ctx["board"], ctx["prefix"]
    memory = server.memory_kib()
    rng = random.Random(7)
    last = {}
    for _ in range(10000):
        relay = rng.randint(1, 8)
        on = rng.random() < 0.5
        last[relay] = on
        w.publish(prefix + "/relay/%d/set" % relay, "ON" if on else "off")
    # A line client is served meanwhile: its Get is answered (with whatever is switched by then).
    client = Client(server.port, timeout=DEADLINE, retry_for=DEADLINE)
    try:
        client.expect("OK", "greeting during the burst")
        client.send("Get\r\n")
        line = client.text()
        check(line is not None and line.startswith("Stat"), "Get during the burst: %r" % line)
        client.send("Close\r\n")
    finally:
        client.close()
    # Switches from earlier messages may still be under way: wait for the end state on both
    # sides (the board's last byte per relay, and the retained state).
    def board_states():
        final = {}
        for byte in board.received():
            final[(byte & 7) + 1] = bool(byte & 8)
        return final

    def settled():
        final = board_states()
        return all(final.get(r) == on and w.get(prefix + "/relay/%d" % r) == ("ON" if on else "OFF")
                   for r, on in last.items())

    try:
        wait_for(settled, "the last message's state on every relay", 60.0)
    except Failure:
        raise Failure("after the burst the board has %r and the broker %r; the last messages "
                      "said %r" % (board_states(), {r: w.get(prefix + "/relay/%d" % r)
                                                    for r in last}, last))
    grown = server.memory_kib() - memory
    check(grown < 32 * 1024, "the server grew by %d KiB during the burst" % grown)
    switched = server.count("MQTT request: ")
    print("burst: 10000 set messages, %d switches made, memory +%d KiB" % (switched, grown),
          flush=True)


def killed(ctx):
    w, server, prefix = ctx["watcher"], ctx["server"], ctx["prefix"]
    server.kill()
    w.wait(prefix + "/availability", "offline", "the last will after SIGKILL")


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    if paho is None or shutil.which("mosquitto") is None:
        print("skipped: needs mosquitto and python3-paho-mqtt (scripts/bootstrap installs them)")
        return 77
    exe, tool, board_exe = (os.path.abspath(a) for a in sys.argv[1:])
    workdir = tempfile.mkdtemp(prefix="vexanet-mqtt-")
    ctx = {"prefix": "test/vexanet%d" % os.getpid()}
    failed = None
    try:
        # The broker is not there yet: the server starts and serves all the same.
        ctx["broker"] = Broker(workdir, start=False)
        ctx["board"] = Board(board_exe, os.path.join(workdir, "com1"))
        ctx["server"] = Server(exe, tool, workdir, os.path.join(workdir, "com1"),
                               ctx["broker"].port, ctx["prefix"])
        ctx["server"].wait_line("MQTT: cannot reach mqtt://127.0.0.1:%d" % ctx["broker"].port)
        line_switch(ctx["server"].port, "Get", "Stat00000000")
        ctx["broker"].start()
        ctx["server"].wait_line("MQTT: connected to", timeout=30.0)
        check(ctx["server"].count("MQTT: cannot reach") == 1,
              "more than one line while the broker was not there yet")
        ctx["watcher"] = Watcher(ctx["broker"].port)
        print("passed: broker not there at start", flush=True)
        for name, step in (("discovery, set and state", discovery_and_switching),
                           ("broker stopped and started", broker_restart),
                           ("serial line unplugged and back", serial_unplugged),
                           ("10,000 set messages", burst),
                           ("server killed", killed)):
            step(ctx)
            print("passed: " + name, flush=True)
    except Failure as e:
        failed = str(e)
        print("FAILED: " + failed, flush=True)
        if "server" in ctx:
            print("the server said:\n  " + "\n  ".join(ctx["server"].lines()[-30:]), flush=True)
    finally:
        for name in ("server",):
            if name in ctx and ctx[name].proc.poll() is None:
                ctx[name].kill()
        if "watcher" in ctx:
            ctx["watcher"].close()
        if "board" in ctx:
            ctx["board"].stop()
        if "broker" in ctx:
            ctx["broker"].stop()
        if failed is None:
            shutil.rmtree(workdir, ignore_errors=True)
        else:
            print("kept: " + workdir)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
