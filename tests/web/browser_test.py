#!/usr/bin/python3
"""The web panel in a real browser: headless Chromium, driven through its DevTools protocol.

Usage: browser_test.py SERVER CONFIG_TOOL [--screenshot PNG]

The built server runs headless with COM1 on a pseudo-terminal and the panel on a loopback port.
The browser opens the page and clicks relay 3 as a user would (mouse events at the switch); the
board must get 0x0A and the switch must show on. Then a line-protocol client switches relay 5,
and the page must show it without a reload. With --screenshot the page is saved as a picture.
Exit status 0 when every step matched; 77 (skipped) when Chromium or the websocket module is
missing.
"""
import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from testlines import Client, Failure, SerialLine, check, free_port, wait_for  # noqa: E402

try:
    import websocket  # Debian's python3-websocket
except ImportError:
    websocket = None

DEADLINE = 20.0
DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))


class Server:
    def __init__(self, exe, tool, workdir, com1):
        port = free_port()
        subprocess.run([tool, "write", os.path.join(workdir, "VexaNetCFG.bin"), "--com", "1",
                        "--tcp-port", str(port)], check=True, stdout=subprocess.DEVNULL)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("VEXANET_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update({"VEXANET_COM1": com1, "VEXANET_HTTP": "127.0.0.1:0", "VEXANET_HEADLESS": "1"})
        self.port = port
        self.out = open(os.path.join(workdir, "server.out"), "w+b")
        self.proc = subprocess.Popen([exe], cwd=workdir, env=env, stdout=self.out,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def lines(self):
        self.out.flush()
        self.out.seek(0)
        return self.out.read().decode(errors="replace").splitlines()

    def web_port(self):
        prefix = "Web panel at http://127.0.0.1:"
        found = []
        wait_for(lambda: found.extend(l for l in self.lines() if l.startswith(prefix)) or found,
                 "the web panel's line", DEADLINE)
        return int(found[0][len(prefix):].rstrip("/"))

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.out.close()



class Browser:
    """One headless Chromium with one page, spoken to over the DevTools websocket."""

    def __init__(self, profile):
        self.proc = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--remote-debugging-port=0", "--user-data-dir=" + profile,
             "--window-size=900,760", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        active = os.path.join(profile, "DevToolsActivePort")
        wait_for(lambda: os.path.exists(active) and open(active).read().count("\n") >= 1,
                 "the browser's DevTools port", DEADLINE)
        port = int(open(active).read().split("\n")[0])
        with DIRECT.open("http://127.0.0.1:%d/json/list" % port, timeout=DEADLINE) as r:
            pages = [t for t in json.load(r) if t["type"] == "page"]
        self.ws = websocket.create_connection(pages[0]["webSocketDebuggerUrl"], timeout=DEADLINE)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise Failure("%s: %s" % (method, message["error"]))
                return message.get("result", {})

    def eval(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result.get("result", {}).get("value")

    def click(self, element_id):
        box = self.eval("(() => { const r = document.getElementById(%r).getBoundingClientRect();"
                        " return [r.x + r.width / 2, r.y + r.height / 2]; })()" % element_id)
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left",
                      clickCount=1)

    def stop(self):
        try:
            self.ws.close()
        finally:
            # The browser and its helper processes, which may still write into the profile.
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()


def pressed(browser, relay):
    return browser.eval("document.getElementById('relay-%d').getAttribute('aria-pressed')" % relay)


def run(exe, tool, screenshot):
    line = SerialLine()
    # A helper process of the browser that outlives the kill must not fail a passed test.
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as workdir:
        server = Server(exe, tool, workdir, line.path)
        browser = None
        try:
            web = server.web_port()
            line.wait_bytes(8, "start-up", DEADLINE)
            wait_for(lambda: any(l.endswith("Ready") for l in server.lines()), "the ready line",
                     DEADLINE)
            browser = Browser(os.path.join(workdir, "profile"))
            browser.call("Page.navigate", url="http://127.0.0.1:%d/" % web)
            wait_for(lambda: browser.eval("document.getElementById('live') &&"
                                          " document.getElementById('live').textContent") == "live",
                     "the page's live event stream", DEADLINE)
            check(pressed(browser, 3) == "false", "relay 3 shows on before any switch")

            browser.click("relay-3")
            check(line.wait_bytes(9, "the click on relay 3", DEADLINE)[8:9] == b"\x0a",
                  "the click on relay 3 sent %r" % line.received()[8:].hex())
            wait_for(lambda: pressed(browser, 3) == "true", "relay 3 shown on", DEADLINE)

            client = Client(server.port, timeout=DEADLINE, retry_for=DEADLINE)
            client.expect("OK", "greeting")
            client.send(b"R5On\r\n")
            client.expect("Stat00101000", "R5On")
            wait_for(lambda: pressed(browser, 5) == "true", "relay 5 shown on without a reload",
                     DEADLINE)
            check(browser.eval("document.getElementById('client').textContent").startswith(
                "127.0.0.1:"), "the connected client is not shown")
            if screenshot:
                browser.call("Emulation.setDeviceMetricsOverride", width=860, height=700,
                             deviceScaleFactor=1, mobile=False)
                time.sleep(0.5)  # the switches' colour change has ended
                shot = browser.call("Page.captureScreenshot", format="png")
                with open(screenshot, "wb") as f:
                    f.write(base64.b64decode(shot["data"]))
            client.close()
        except Failure:
            print("\n".join(server.lines()[-40:]), file=sys.stderr)
            raise
        finally:
            if browser:
                browser.stop()
            server.stop()
            line.close()


def main():
    args = sys.argv[1:]
    screenshot = None
    if "--screenshot" in args:
        i = args.index("--screenshot")
        screenshot = os.path.abspath(args[i + 1])
        del args[i:i + 2]
    if len(args) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    if shutil.which("chromium") is None or websocket is None:
        print("skipped: needs Debian's chromium and python3-websocket")
        return 77
    try:
        run(os.path.abspath(args[0]), os.path.abspath(args[1]), screenshot)
    except Failure as e:
        print("FAILED: %s" % e, flush=True)
        return 1
    print("passed: the panel in a browser", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
