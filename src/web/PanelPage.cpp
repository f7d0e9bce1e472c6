#include "web/PanelPage.h"

namespace vexanet::web {
namespace {

// Element ids the tests drive: relay-1 ... relay-8 (aria-pressed), status, serial, client,
// connect, close, live.
constexpr std::string_view kPage = R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>VexaNet relays</title>
<style>
:root { --blue: #7888f0; --ink: #1c2340; --muted: #5b6485; --card: #ffffff; --bg: #eef0fb;
        --on: #2fb36b; --off: #c9cee3; --warn: #d9822b; --bad: #d64545; }
* { box-sizing: border-box; }
body { margin: 0; font: 16px/1.4 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif;
       color: var(--ink); background: var(--bg); }
header { background: var(--blue); color: #fff; padding: 14px 20px; display: flex;
         align-items: center; justify-content: space-between; gap: 12px; }
header h1 { margin: 0; font-size: 20px; font-weight: 600; letter-spacing: .2px; }
#live { font-size: 13px; padding: 3px 10px; border-radius: 999px; background: rgba(255,255,255,.2); }
#live.down { background: var(--bad); }
main { max-width: 760px; margin: 0 auto; padding: 16px; display: grid; gap: 16px; }
.card { background: var(--card); border-radius: 14px; padding: 16px;
        box-shadow: 0 1px 3px rgba(28,35,64,.12); }
.card h2 { margin: 0 0 12px; font-size: 14px; text-transform: uppercase; letter-spacing: .6px;
           color: var(--muted); }
#relays { display: grid; grid-template-columns: repeat(4, 1fr); gap: 12px; }
@media (max-width: 520px) { #relays { grid-template-columns: repeat(2, 1fr); } }
.relay { border: 0; border-radius: 12px; padding: 14px 10px; background: var(--off);
         color: var(--ink); font: inherit; cursor: pointer; display: flex; flex-direction: column;
         align-items: center; gap: 8px; min-height: 92px; transition: background .15s; }
.relay .n { font-weight: 600; }
.relay .knob { width: 46px; height: 26px; border-radius: 13px; background: rgba(0,0,0,.18);
               position: relative; }
.relay .knob::after { content: ""; position: absolute; top: 3px; left: 3px; width: 20px;
                      height: 20px; border-radius: 50%; background: #fff; transition: left .15s; }
.relay[aria-pressed="true"] { background: var(--on); color: #fff; }
.relay[aria-pressed="true"] .knob::after { left: 23px; }
.relay .word { font-size: 13px; }
.relay:disabled { opacity: .6; cursor: wait; }
dl { margin: 0; display: grid; grid-template-columns: max-content 1fr; gap: 8px 16px; }
dt { color: var(--muted); }
dd { margin: 0; overflow-wrap: anywhere; }
#serial.down { color: var(--bad); font-weight: 600; }
.actions { display: flex; gap: 12px; flex-wrap: wrap; margin-top: 14px; }
.actions button { border: 0; border-radius: 10px; padding: 10px 16px; font: inherit;
                  background: var(--blue); color: #fff; cursor: pointer; }
.actions button:disabled { background: var(--off); color: var(--muted); cursor: default; }
#error { color: var(--bad); min-height: 1.4em; margin: 8px 0 0; }
</style>
</head>
<body>
<header><h1>VexaNet relays</h1><span id="live">connecting…</span></header>
<main>
  <section class="card"><h2>Relays</h2><div id="relays"></div><p id="error"></p></section>
  <section class="card"><h2>Server</h2>
    <dl>
      <dt>Status</dt><dd id="status"></dd>
      <dt>Serial line</dt><dd id="serial"></dd>
      <dt>Client</dt><dd id="client"></dd>
    </dl>
    <div class="actions">
      <button id="connect" type="button" disabled>Let Client Connect</button>
      <button id="close" type="button">Close</button>
    </div>
  </section>
</main>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
const relays = $("relays");
let state = null;
let deadline = null;

for (let n = 1; n <= 8; n++) {
  const b = document.createElement("button");
  b.type = "button"; b.id = "relay-" + n; b.className = "relay";
  b.setAttribute("aria-pressed", "false");
  b.innerHTML = '<span class="n">Relay ' + n + '</span><span class="knob"></span><span class="word">Off</span>';
  b.addEventListener("click", () => switchRelay(n, b.getAttribute("aria-pressed") !== "true"));
  relays.appendChild(b);
}

function show(s) {
  state = s;
  s.relays.forEach((on, i) => {
    const b = $("relay-" + (i + 1));
    b.setAttribute("aria-pressed", on ? "true" : "false");
    b.querySelector(".word").textContent = on ? "On" : "Off";
  });
  $("status").textContent = s.status || "—";
  const serial = $("serial");
  serial.textContent = s.serial === "up" ? "up" : "down";
  serial.className = s.serial === "up" ? "" : "down";
  deadline = s.client && s.client.secondsLeft !== null ? Date.now() + s.client.secondsLeft * 1000 : null;
  showClient();
  $("connect").disabled = !s.connectAllowed;
}

function showClient() {
  const c = state && state.client;
  if (!c) { $("client").textContent = "none"; return; }
  let text = c.address + " since " + new Date(c.since).toLocaleTimeString();
  if (deadline !== null) {
    const left = Math.max(0, Math.round((deadline - Date.now()) / 1000));
    text += " · " + Math.floor(left / 60) + ":" + String(left % 60).padStart(2, "0") + " left";
  }
  $("client").textContent = text;
}
setInterval(showClient, 1000);

async function call(method, path, body) {
  $("error").textContent = "";
  const options = { method, headers: {} };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  try {
    const r = await fetch(path, options);
    const answer = await r.json();
    if (!r.ok) throw new Error(answer.error || r.statusText);
    show(answer);
  } catch (e) {
    $("error").textContent = String(e.message || e);
  }
}

async function switchRelay(n, on) {
  const b = $("relay-" + n);
  b.disabled = true;
  await call("PUT", "/api/relays/" + n, { on });
  b.disabled = false;
}
$("connect").addEventListener("click", () => call("POST", "/api/connection/accept"));
$("close").addEventListener("click", () => call("POST", "/api/connection/close"));

function listen() {
  const events = new EventSource("/api/events");
  events.addEventListener("state", (e) => {
    $("live").textContent = "live"; $("live").className = "";
    show(JSON.parse(e.data));
  });
  events.onerror = () => { $("live").textContent = "reconnecting…"; $("live").className = "down"; };
}
listen();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string_view PanelPage() {
  return kPage;
}

}  // namespace vexanet::web
