#!/usr/bin/env python3
"""The Windows installer (VexaNet-<version>-win64.exe) under Wine, as a user installs it.

Usage: installer_check.py [--prefix DIR] INSTALLER.exe [ZIP]
Run by `scripts/package --windows --install-test`.

Works in a Wine prefix of its own (DIR, default installer-prefix next to the installer, so
build/windows/installer-prefix), made afresh on every run, so the test prefix of the unit tests
is never touched; a folder this check did not make is never removed.
COM1 is registered there as a port that does not exist: the installed server finds no board,
and no serial device of this machine is opened. Prints one line per check:

  - a silent install (/S) puts the programs and README.txt in Program Files\\VexaNet, the Start
    Menu shortcuts (the server's starts in C:\\ProgramData\\VexaNet) and the uninstall entry;
  - the defaults are written to C:\\ProgramData\\VexaNet\\VexaNetCFG.bin;
  - the installed server, started headless in that folder, reports the missing COM port and
    reaches its ready line;
  - while it runs, an install and an uninstall are refused (exit status 2) and change nothing;
  - the installed vexanet-config.exe changes the file, and a second silent install keeps it;
  - a silent uninstall removes programs, shortcuts and uninstall entry, and keeps the data
    folder with the file;
  - a silent install with /SERVICE=1 installs and starts the Windows service, which works in
    the data folder (its vexanet.env read, its log written there) and reaches its ready line;
    an upgrade without the option keeps it running; the uninstall removes it;
  - with ZIP: it holds the same files as the installation (the programs equal but for the
    link time and checksum that strip sets in each copy).

The prefix is removed after a passing run and kept after a failing one.
Exit status: 0 every check passed, 1 a check failed, 2 bad arguments or no Wine.
"""
import hashlib
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import zipfile

WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
WINESERVER = os.path.join(os.path.dirname(WINE), "wineserver")
STEP_TIMEOUT = 120   # one Wine command (the first one of a session starts Wine's services)
READY_TIMEOUT = 60   # the server's ready line
UNINSTALL_TIMEOUT = 30  # the uninstaller's copy works on after the program returns

PROGRAM_DIR = "C:\\Program Files\\VexaNet"
DATA_DIR = "C:\\ProgramData\\VexaNet"
CONFIG = DATA_DIR + "\\VexaNetCFG.bin"
INSTALLED = ["vexanet-server.exe", "vexanet-config.exe", "vexanet-service.exe",
             "vexanet-client.exe", "README.txt"]
SHORTCUTS = ["VexaNet Server.lnk", "VexaNet README.lnk", "VexaNet configuration folder.lnk",
             "Uninstall.lnk"]
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VexaNet"
READY = "Status: COM1  Vexa  0 minutes  Ready"
SERVICE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\VexaNet"
SERVICE_LOG = DATA_DIR + "\\vexanet-server.log"
# The changed file names COM2: the service is told it is a port that nothing answers to.
SERVICE_ENV = "VEXANET_COM2=COM199\n"
SERVICE_READY = "Status: COM2  Vexa  0 minutes  Ready"
NO_PORT = "Status: COM port not communicating."
# What `vexanet-config write` gives with its defaults: COM1, Vexa, port 3001, no session limit,
# clients accepted automatically.
DEFAULTS = bytes([0x00, 0x50, 0x00, 0x00, 0x00])
# --com 2 --tcp-port 3000
CHANGED = bytes([0x01, 0x50, 0xFF, 0x00, 0x00])


class Failed(Exception):
    pass


class Check:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def __call__(self, ok, what, detail=""):
        if ok:
            self.passed += 1
            print("ok    " + what, flush=True)
        else:
            self.failed += 1
            print("FAIL  " + what + (": " + detail if detail else ""), flush=True)
        return ok


class Prefix:
    """A Wine prefix and the Windows paths in it."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.no_port = os.path.join(self.path, "no-port", "com1")  # registered as COM1, never made
        self.marker = os.path.join(self.path, ".vexanet-installer-check")
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("VEXANET_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update(WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")

    def unix(self, windows_path):
        drive, rest = windows_path.split(":", 1)
        assert drive.upper() == "C"
        return os.path.join(self.path, "drive_c", *[p for p in rest.split("\\") if p])

    def run(self, *args, cwd=None, timeout=STEP_TIMEOUT):
        try:
            return subprocess.run([WINE, *args], env=self.env, cwd=cwd, timeout=timeout,
                                  stdin=subprocess.DEVNULL, capture_output=True)
        except subprocess.TimeoutExpired:
            raise Failed("no end within %d s: %s" % (timeout, " ".join(args)))

    def end_session(self, kill=False):
        """Waits for Wine's processes in this prefix to end (or ends them) and its server with them."""
        if kill:
            subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        try:
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=STEP_TIMEOUT)
        except subprocess.TimeoutExpired:
            subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)

    def ours(self):
        """Whether the folder is free for this check: missing, empty or made by it before."""
        return (not os.path.isdir(self.path) or not os.listdir(self.path)
                or os.path.isfile(self.marker))

    def make(self):
        if os.path.isdir(self.path):
            self.end_session(kill=True)
            shutil.rmtree(self.path)
        os.makedirs(self.path)
        open(self.marker, "w").close()
        if self.run("wineboot", "-i").returncode != 0:
            raise Failed("wineboot -i failed in " + self.path)
        # Wine names the machine's serial devices COM1, COM2, ... at the start of a session,
        # except the ports registered here; this one points at nothing, so COM1 does not exist.
        reg = self.run("reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/t", "REG_SZ",
                       "/d", self.no_port, "/f")
        if reg.returncode != 0:
            raise Failed("cannot register COM1 in the prefix: " + reg.stderr.decode(errors="replace"))
        self.end_session()  # the registry is written
        # The next session links COM1 to the registered path; until then, the link of the last.
        com1 = os.path.join(self.path, "dosdevices", "com1")
        if os.path.lexists(com1):
            os.remove(com1)
        os.symlink(self.no_port, com1)

    def com1(self):
        link = os.path.join(self.path, "dosdevices", "com1")
        return os.readlink(link) if os.path.islink(link) else None

    def registry_value(self, key, name):
        out = self.run("reg", "query", key, "/v", name)
        if out.returncode != 0:
            return None
        for line in out.stdout.decode(errors="replace").splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[0] == name:
                return parts[2].strip()
        return ""


def shortcut(path):
    """Target and working folder of a shell link (.lnk) file."""
    data = open(path, "rb").read()
    if len(data) < 0x4C or data[:4] != b"\x4c\x00\x00\x00":
        raise Failed("%s is not a shell link" % path)
    flags = struct.unpack_from("<I", data, 0x14)[0]
    pos = 0x4C
    if flags & 0x01:  # HasLinkTargetIDList
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    target = None
    if flags & 0x02:  # HasLinkInfo: the target's local path
        size, header, info_flags, _, base = struct.unpack_from("<IIIII", data, pos)
        if info_flags & 0x01:
            if header >= 0x24:
                start = end = pos + struct.unpack_from("<I", data, pos + 24)[0]
                while data[end:end + 2] != b"\x00\x00":
                    end += 2
                target = data[start:end].decode("utf-16-le")
            else:
                start = pos + base
                target = data[start:data.index(b"\x00", start)].decode("latin-1")
        pos += size
    strings = {}
    unicode = flags & 0x80
    for bit, name in ((0x04, "name"), (0x08, "relative"), (0x10, "workdir"), (0x20, "args"),
                      (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, pos)[0]
            pos += 2
            size = count * (2 if unicode else 1)
            # Wine counts a closing NUL in; the format does not.
            strings[name] = data[pos:pos + size].decode(
                "utf-16-le" if unicode else "latin-1").rstrip("\x00")
            pos += size
    return target, strings.get("workdir")


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def pe_contents(data):
    """A program file without its link time and checksum, which strip sets anew each time it
    runs (the installer and the zip are made by two installs of one build)."""
    if data is None or len(data) < 0x40 or data[:2] != b"MZ":
        return data
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\x00\x00" or len(data) < header + 0x5C:
        return data
    masked = bytearray(data)
    masked[header + 8:header + 12] = bytes(4)          # TimeDateStamp
    masked[header + 0x58:header + 0x5C] = bytes(4)     # CheckSum
    return bytes(masked)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Server:
    """The installed server, headless, in the data folder; its stdout lines."""

    def __init__(self, prefix):
        env = dict(prefix.env, VEXANET_HEADLESS="1", VEXANET_LISTEN="127.0.0.1")
        # The Wine loader becomes the Windows program: this pid is the server itself.
        self.proc = subprocess.Popen([WINE, PROGRAM_DIR + "\\vexanet-server.exe"],
                                     cwd=prefix.unix(DATA_DIR), env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        self.pending = b""
        self.lines = []

    def wait_line(self, wanted, timeout=READY_TIMEOUT):
        deadline = time.monotonic() + timeout
        while wanted not in self.lines:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                return False
            self.pending += chunk
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                self.lines.append(line.decode(errors="replace").rstrip("\r"))
        return True

    def kill(self):
        """SIGKILL to the server (an interrupt would make Wine's server dump its state)."""
        if self.proc.poll() is None:
            try:
                os.kill(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.proc.wait(timeout=STEP_TIMEOUT)
        self.proc.stdout.close()


def snapshot(prefix):
    """The installed files and the configuration file, to compare before and after a step."""
    files = {}
    for name in INSTALLED + ["Uninstall.exe"]:
        data = read_file(os.path.join(prefix.unix(PROGRAM_DIR), name))
        files[name] = sha256(data) if data is not None else None
    files["VexaNetCFG.bin"] = read_file(prefix.unix(CONFIG))
    return files


def check_installed(prefix, check, when):
    program_dir = prefix.unix(PROGRAM_DIR)
    missing = [n for n in INSTALLED + ["Uninstall.exe"]
               if not os.path.isfile(os.path.join(program_dir, n))]
    check(not missing, "%s: %s in %s" % (when, ", ".join(INSTALLED + ["Uninstall.exe"]),
                                         PROGRAM_DIR), "missing " + ", ".join(missing))


def refuse_while_running(prefix, check, installer):
    """An install and an in-place uninstall while the server runs."""
    before = snapshot(prefix)
    status = prefix.run(installer, "/S").returncode
    after = snapshot(prefix)
    check(status == 2 and after == before,
          "while the server runs, a silent install is refused (exit status 2) and changes nothing",
          "exit status %d, files %s" % (status, "unchanged" if after == before else "changed"))
    # "_?=FOLDER" keeps the uninstaller in place, so its exit status is the real one; it must be
    # the last thing on the command line, unquoted: a batch file passes it on as written.
    batch = prefix.unix("C:\\vexanet-uninstall-in-place.bat")
    with open(batch, "w", newline="\r\n") as f:
        f.write('@"%s\\Uninstall.exe" /S _?=%s\n@exit /b %%ERRORLEVEL%%\n' % (PROGRAM_DIR, PROGRAM_DIR))
    status = prefix.run("cmd", "/c", "C:\\vexanet-uninstall-in-place.bat").returncode
    after = snapshot(prefix)
    check(status == 2 and after == before,
          "while the server runs, a silent uninstall is refused (exit status 2) and changes nothing",
          "exit status %d, files %s" % (status, "unchanged" if after == before else "changed"))


def wait_in_log(prefix, wanted, count=1, timeout=READY_TIMEOUT):
    """Whether the service's log holds the line wanted count times (within timeout)."""
    deadline = time.monotonic() + timeout
    while True:
        data = read_file(prefix.unix(SERVICE_LOG)) or b""
        lines = data.decode(errors="replace").splitlines()
        if lines.count(wanted) >= count:
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.3)


def service_state(prefix):
    said = prefix.run(PROGRAM_DIR + "\\vexanet-service.exe", "status").stdout
    return said.decode(errors="replace").splitlines()[0] if said else ""


def check_service(prefix, check, installer):
    """/SERVICE=1, then an upgrade without the option: the service runs in the data folder."""
    with open(prefix.unix(DATA_DIR + "\\vexanet.env"), "w") as f:
        f.write(SERVICE_ENV)
    status = prefix.run(installer, "/S", "/SERVICE=1").returncode
    state = service_state(prefix)
    check(status == 0 and state == "Service VexaNet is running",
          "a silent install with /SERVICE=1 installs and starts the service VexaNet",
          "exit status %d, vexanet-service status: %r" % (status, state))
    ready = wait_in_log(prefix, SERVICE_READY)
    log = (read_file(prefix.unix(SERVICE_LOG)) or b"").decode(errors="replace")
    check(ready and "Settings from vexanet.env: VEXANET_COM2" in log,
          "the service reads vexanet.env and logs to %s up to \"%s\"" % (SERVICE_LOG, SERVICE_READY),
          "the log:\n" + log)
    status = prefix.run(installer, "/S").returncode
    state = service_state(prefix)
    log = (read_file(prefix.unix(SERVICE_LOG)) or b"").decode(errors="replace")
    check(status == 0 and state == "Service VexaNet is running"
          and "Service stop requested: stopping" in log and wait_in_log(prefix, SERVICE_READY, 2),
          "an upgrade without /SERVICE stops the service, replaces the programs and starts it again",
          "exit status %d, vexanet-service status: %r, the log:\n%s" % (status, state, log))


def check_zip(prefix, check, zip_path):
    program_dir = prefix.unix(PROGRAM_DIR)
    with zipfile.ZipFile(zip_path) as z:
        entries = {n.split("/", 1)[1]: z.read(n) for n in z.namelist()
                   if "/" in n and not n.endswith("/")}
    tops = {n.split("/", 1)[0] for n in zipfile.ZipFile(zip_path).namelist()}
    want = os.path.basename(zip_path)[:-len(".zip")]
    differ = [n for n in INSTALLED
              if entries.get(n) is None
              or pe_contents(entries[n]) != pe_contents(read_file(os.path.join(program_dir, n)))]
    extra = sorted(set(entries) - set(INSTALLED))
    check(tops == {want} and not differ and not extra,
          "%s: the installed files in a folder %s (programs equal but for their link time)" % (os.path.basename(zip_path), want),
          "top folders %s, different or missing %s, extra %s" % (sorted(tops), differ, extra))


def main():
    args = sys.argv[1:]
    prefix_dir = None
    if len(args) >= 2 and args[0] == "--prefix":
        prefix_dir, args = args[1], args[2:]
    if len(args) not in (1, 2) or not args[0].endswith(".exe"):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    installer = os.path.abspath(args[0])
    zip_path = os.path.abspath(args[1]) if len(args) == 2 else None
    if not os.path.isfile(installer) or (zip_path and not os.path.isfile(zip_path)):
        print("installer_check: no such file: %s" % (installer if not os.path.isfile(installer)
                                                    else zip_path), file=sys.stderr)
        return 2
    if not os.access(WINE, os.X_OK):
        print("installer_check: %s not found (Debian package wine64)" % WINE, file=sys.stderr)
        return 2
    prefix = Prefix(prefix_dir or os.path.join(os.path.dirname(installer), "installer-prefix"))
    if not prefix.ours():
        print("installer_check: %s exists and was not made by this check: not using it"
              % prefix.path, file=sys.stderr)
        return 2

    check = Check()
    started = time.monotonic()
    server = None
    try:
        print("installer_check: a new Wine prefix in %s" % prefix.path, flush=True)
        prefix.make()

        status = prefix.run(installer, "/S").returncode
        if not check(status == 0, "silent install: exit status 0", "exit status %d" % status):
            raise Failed("the installer failed")
        # Wine's session has set its COM links by now: no serial device of this machine is COM1.
        if prefix.com1() != prefix.no_port:
            raise Failed("COM1 in the prefix leads to %s, not to the registered nothing"
                         % prefix.com1())
        check_installed(prefix, check, "installed")

        menu = os.path.join(prefix.path, "drive_c", "ProgramData", "Microsoft", "Windows",
                            "Start Menu", "Programs", "VexaNet")
        missing = [n for n in SHORTCUTS if not os.path.isfile(os.path.join(menu, n))]
        check(not missing, "Start Menu folder VexaNet: " + ", ".join(SHORTCUTS),
              "missing " + ", ".join(missing))
        if "VexaNet Server.lnk" not in missing:
            target, workdir = shortcut(os.path.join(menu, "VexaNet Server.lnk"))
            wanted = PROGRAM_DIR + "\\vexanet-server.exe"
            check(target == wanted and workdir == DATA_DIR,
                  "the VexaNet Server shortcut starts %s in %s" % (wanted, DATA_DIR),
                  "it starts %r in %r" % (target, workdir))

        uninstall = prefix.registry_value(UNINSTALL_KEY, "UninstallString")
        check(uninstall == '"%s\\Uninstall.exe"' % PROGRAM_DIR,
              "uninstall entry %s names %s\\Uninstall.exe" % (UNINSTALL_KEY, PROGRAM_DIR),
              "UninstallString %r" % uninstall)

        config = read_file(prefix.unix(CONFIG))
        check(config == DEFAULTS, "the defaults written to " + CONFIG,
              "contents %s" % (config.hex(" ") if config is not None else "missing"))

        server = Server(prefix)
        ready = server.wait_line(READY)
        no_port = NO_PORT in server.lines and (
            not ready or server.lines.index(NO_PORT) < server.lines.index(READY))
        check(ready and no_port,
              "the installed server, headless in %s without a COM1, reports \"%s\" and reaches "
              "\"%s\"" % (DATA_DIR, NO_PORT[len("Status: "):], READY),
              "it said:\n      " + "\n      ".join(server.lines))
        if ready:
            refuse_while_running(prefix, check, installer)
        server.kill()
        server = None

        tool = prefix.run(PROGRAM_DIR + "\\vexanet-config.exe", "write", CONFIG, "--com", "2",
                          "--tcp-port", "3000")
        config = read_file(prefix.unix(CONFIG))
        check(tool.returncode == 0 and config == CHANGED,
              "the installed vexanet-config.exe writes %s (--com 2 --tcp-port 3000)" % CONFIG,
              "exit status %d, contents %s, said %s" % (
                  tool.returncode, config.hex(" ") if config is not None else "missing",
                  (tool.stdout + tool.stderr).decode(errors="replace").strip()))

        status = prefix.run(installer, "/S").returncode
        config = read_file(prefix.unix(CONFIG))
        check(status == 0 and config == CHANGED,
              "a second silent install (over the first) keeps the changed VexaNetCFG.bin",
              "exit status %d, contents %s" % (status, config.hex(" ") if config is not None
                                               else "missing"))
        check_installed(prefix, check, "reinstalled")
        check_service(prefix, check, installer)

        if zip_path:
            check_zip(prefix, check, zip_path)

        # The uninstaller copies itself to the temporary folder, starts the copy and returns.
        prefix.run(PROGRAM_DIR + "\\Uninstall.exe", "/S")
        program_dir = prefix.unix(PROGRAM_DIR)
        deadline = time.monotonic() + UNINSTALL_TIMEOUT
        while os.path.exists(program_dir) and time.monotonic() < deadline:
            time.sleep(0.2)
        left = sorted(os.listdir(program_dir)) if os.path.exists(program_dir) else []
        check(not os.path.exists(program_dir),
              "silent uninstall removes %s (within %d s)" % (PROGRAM_DIR, UNINSTALL_TIMEOUT),
              "left: " + ", ".join(left))
        prefix.end_session()
        config = read_file(prefix.unix(CONFIG))
        check(config == CHANGED, "the uninstall keeps %s as it was" % CONFIG,
              "contents %s" % (config.hex(" ") if config is not None else "missing"))
        check(not os.path.exists(menu), "the uninstall removes the Start Menu folder VexaNet",
              "left: " + ", ".join(sorted(os.listdir(menu))) if os.path.isdir(menu) else "")
        uninstall = prefix.registry_value(UNINSTALL_KEY, "UninstallString")
        check(uninstall is None, "the uninstall removes the uninstall entry",
              "UninstallString %r" % uninstall)
        service = prefix.registry_value(SERVICE_KEY, "ImagePath")
        check(service is None, "the uninstall removes the service VexaNet", "ImagePath %r" % service)
    except Failed as e:
        check(False, "stopped", str(e))
    finally:
        if server:
            server.kill()
        prefix.end_session(kill=True)

    elapsed = time.monotonic() - started
    if check.failed:
        print("FAILED: %d of %d checks (%.0f s); the Wine prefix is kept: %s"
              % (check.failed, check.failed + check.passed, elapsed, prefix.path))
        return 1
    shutil.rmtree(prefix.path, ignore_errors=True)
    print("passed: %d checks (%.0f s)" % (check.passed, elapsed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
