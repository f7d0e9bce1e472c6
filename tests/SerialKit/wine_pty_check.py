#!/usr/bin/env python3
"""The Windows driver on a real line under Wine.

Usage: wine_pty_check.py WINE_RUN CHECK_EXE

Makes a pseudo-terminal pair, hands its serial end to Wine as COM1 (VEXANET_WINE_COM1, see
scripts/wine-run), runs the check program (WindowsDriverWine_check.cpp) and plays the far end:
reads what the program writes, writes bytes back, and checks the line settings the program made
from the Linux side (termios of the pseudo-terminal), which Wine cannot show. Exit status 0 when
every step matched.
"""
import os
import select
import subprocess
import sys
import termios
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from testlines import Failure as Failed, SerialLine  # noqa: E402

STEP_TIMEOUT = 60.0  # the first run may have to make the Wine prefix


class Program:
    def __init__(self, argv, env):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=env)
        self.pending = b""

    def line(self):
        deadline = time.monotonic() + STEP_TIMEOUT
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failed("no line from the program within %d s" % STEP_TIMEOUT)
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 4096)
                if not chunk:
                    raise Failed("the program ended early (status %s)" % self.proc.wait())
                self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        text = line.decode(errors="replace").rstrip("\r")
        print("program: " + text, flush=True)
        return text

    def expect(self, wanted):
        got = self.line()
        if got != wanted:
            raise Failed("expected %r, got %r" % (wanted, got))

    def send(self, text):
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()


def check_line_settings(fd):
    iflag, oflag, cflag, lflag, ispeed, ospeed, _ = termios.tcgetattr(fd)
    problems = []
    if ispeed != termios.B9600 or ospeed != termios.B9600:
        problems.append("speed is not 9600")
    if cflag & termios.CSIZE != termios.CS8:
        problems.append("not 8 data bits")
    if cflag & termios.PARENB:
        problems.append("parity on")
    if cflag & termios.CSTOPB:
        problems.append("2 stop bits")
    if cflag & termios.CRTSCTS:
        problems.append("hardware handshake on")
    if iflag & (termios.IXON | termios.IXOFF):
        problems.append("XON/XOFF on")
    if lflag & (termios.ICANON | termios.ECHO | termios.ISIG):
        problems.append("not raw (canonical, echo or signals)")
    if oflag & termios.OPOST:
        problems.append("output processing on")
    if problems:
        raise Failed("line settings: " + ", ".join(problems))
    print("line: 9600 8N1, no handshake, raw", flush=True)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    wine_run, exe = sys.argv[1], sys.argv[2]
    line = SerialLine()
    env = dict(os.environ, VEXANET_WINE_COM1=line.path)
    env.pop("VEXANET_COM1", None)
    program = Program([wine_run, exe], env)
    try:
        program.expect("open 0")
        program.expect("second open: SerOpenPort failed: Port is already open")
        program.expect("sent")
        check_line_settings(line.serial)
        got = line.wait_bytes(2, "the far end", 10)
        if got != b"\x5a\xc3":
            raise Failed("the far end read %s, not 5a c3" % got.hex())
        print("far end: read 5a c3", flush=True)
        os.write(line.master, b"\xa5\x42")
        program.send("go")
        program.expect("got a5 42")
        os.write(line.master, b"\x33")
        program.send("go")
        program.expect("waiting 1")
        program.expect("after flush 0")
        program.expect("silent -1")
        program.expect("closed")
        status = program.proc.wait(timeout=STEP_TIMEOUT)
        if status != 0:
            raise Failed("the program ended with status %d" % status)
    except (Failed, subprocess.TimeoutExpired) as e:
        print("FAILED: %s" % e, flush=True)
        if program.proc.poll() is None:
            program.proc.kill()
            program.proc.wait()
        return 1
    finally:
        line.close()
    print("PASSED", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
