#!/usr/bin/env python3
"""Two boards on one host: two instances of the template unit vexanet@.service, each from its own
environment file, with its own pseudo-terminal, port and working folder, serving at once.

Usage: instances_test.py [--emulator PROGRAM] UNIT_FILE SERVER CONFIG_TOOL

--emulator: the programs are a cross build's and run under this emulator (scripts/qemu-run).

Without a running systemd the test does what the unit says: it reads the instance's environment
file, runs the unit's own ExecStartPre= line (with ${VAR} from that file) in the instance's
working folder, then its ExecStart= program there with that environment. A second start leaves the
configuration file of the first as it is. Where systemd-analyze exists, the unit itself is
verified as an instance (with the built programs in place of the installed ones).
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from testlines import Client, Failure, SerialLine, check, free_port, wait_for  # noqa: E402

DEADLINE = 20.0


def unit_lines(unit, key):
    return [l.split("=", 1)[1] for l in open(unit).read().splitlines() if l.startswith(key + "=")]


def read_env(path):
    env = {}
    for line in open(path):
        line = line.strip()
        if line and not line.startswith("#"):
            key, value = line.split("=", 1)
            env[key] = value
    return env



def command(line, env, programs, emulator):
    """The unit's command line with ${VAR} from env and the installed programs as built."""
    line = re.sub(r"\$\{(\w+)\}", lambda m: env.get(m.group(1), ""), line)
    words = shlex.split(line)
    words[0] = programs[os.path.basename(words[0])]
    return ([emulator] if emulator else []) + words


def run(unit, server_exe, config_exe, emulator=None):
    programs = {"vexanet-server": server_exe, "vexanet-config": config_exe}
    pre, start = unit_lines(unit, "ExecStartPre")[0], unit_lines(unit, "ExecStart")[0]
    check("%i" in " ".join(unit_lines(unit, "EnvironmentFile")), "the env file is the instance's")
    check(any("%i" in d for d in unit_lines(unit, "StateDirectory")),
          "the working folder is the instance's")
    with tempfile.TemporaryDirectory() as root:
        servers, lines = [], []
        try:
            for name in ("board1", "board2"):
                line = SerialLine()
                lines.append(line)
                port = free_port(3010, 3128) if not servers else free_port_after(servers[-1][1])
                env_file = os.path.join(root, name + ".env")
                with open(env_file, "w") as f:
                    f.write("VEXANET_COM1=%s\nVEXANET_TCP_PORT=%d\n" % (line.path, port))
                work = os.path.join(root, "state", name)
                os.makedirs(work)
                env = {k: v for k, v in os.environ.items()
                       if not k.startswith("VEXANET_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
                env.update(read_env(env_file))
                env["VEXANET_HEADLESS"] = "1"
                subprocess.run(command(pre, env, programs, emulator), cwd=work, env=env, check=True)
                made = open(os.path.join(work, "VexaNetCFG.bin"), "rb").read()
                # A second start keeps the file, whatever the env file says now.
                env2 = dict(env, VEXANET_TCP_PORT=str(port + 1))
                subprocess.run(command(pre, env2, programs, emulator), cwd=work, env=env2, check=True)
                check(open(os.path.join(work, "VexaNetCFG.bin"), "rb").read() == made,
                      "a second start rewrote %s's configuration" % name)
                out = open(os.path.join(work, "out.txt"), "w+")
                proc = subprocess.Popen(command(start, env, programs, emulator), cwd=work, env=env,
                                        stdout=out, stderr=subprocess.STDOUT)
                servers.append((proc, port, out))
            for (proc, port, out), line in zip(servers, lines):
                line.wait_bytes(8, "start-up", DEADLINE)
                wait_for(lambda: "  Ready" in open(out.name).read(), "the ready line", DEADLINE)
                client = Client(port, timeout=DEADLINE, retry_for=DEADLINE)
                client.expect("OK", "greeting on port %d" % port)
                client.send("R1On\r\n")
                client.expect("Stat10000000", "R1On on port %d" % port)
                check(line.wait_bytes(9, "R1On", DEADLINE)[8:9] == b"\x08",
                      "R1On on port %d reached its own board" % port)
                client.close()
            check(all(len(l.received()) == 9 for l in lines), "each board got its own bytes only")
        finally:
            for proc, _, out in servers:
                proc.kill()
                proc.wait()
                out.close()
            for line in lines:
                line.close()

    analyze = shutil.which("systemd-analyze")
    if analyze:
        with tempfile.TemporaryDirectory() as units:
            text = open(unit).read()
            for program, path in programs.items():
                text = re.sub(r"/\S*/" + program + r"\b", path, text)
            instance = os.path.join(units, "vexanet@board1.service")
            with open(instance, "w") as f:
                f.write(text)
            result = subprocess.run([analyze, "verify", "--man=no", instance],
                                    capture_output=True, text=True)
            problems = [l for l in (result.stdout + result.stderr).splitlines()
                        if "vexanet@board1.service" in l]
            check(not problems, "systemd-analyze verify: %s" % "\n".join(problems))
    else:
        print("systemd-analyze not found: the unit file itself is not verified")


def free_port_after(taken):
    while True:
        port = free_port(3010, 3128)
        if port != taken:
            return port


def main():
    args = sys.argv[1:]
    emulator = None
    if args[:1] == ["--emulator"] and len(args) > 1:
        emulator, args = os.path.abspath(args[1]), args[2:]
    if len(args) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        run(*(os.path.abspath(a) for a in args), emulator=emulator)
    except (Failure, subprocess.CalledProcessError) as e:
        print("FAILED: %s" % e, flush=True)
        return 1
    print("passed: two instances serve at once", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
