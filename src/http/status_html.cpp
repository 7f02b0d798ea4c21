// The status page a browser gets: self-contained (no outside asset), it polls /status.json once
// a second and keeps the last ten minutes itself, so the daemon keeps no history for it.
#include "http/status_page.h"

const char kStatusHtml[] = R"html(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width,initial-scale=1">
<title>quarlin</title>
<style>
:root{--bg:#f4f6f8;--fg:#1c2330;--mute:#687282;--card:#fff;--line:#dce1e8;--ok:#1f9d55;--idle:#8a94a6;--bad:#d64545;--plot:#2f6fde}
@media (prefers-color-scheme:dark){:root{--bg:#13161b;--fg:#e4e8ee;--mute:#96a0af;--card:#1c2027;--line:#2b313b;--plot:#5b93f5}}
body{margin:0;font:14px/1.4 system-ui,sans-serif;background:var(--bg);color:var(--fg)}
header{display:flex;align-items:center;gap:12px;padding:12px 20px;background:var(--card);border-bottom:1px solid var(--line)}
h1{font-size:18px;margin:0}
#state{padding:2px 10px;border-radius:11px;color:#fff;font-weight:600;background:var(--idle)}
#state.on{background:var(--ok)}#state.down{background:var(--bad)}
#stream{color:var(--mute);overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
main{padding:14px 20px}
.grid{display:grid;gap:10px;margin-bottom:12px;grid-template-columns:repeat(auto-fill,minmax(150px,1fr))}
.charts{grid-template-columns:repeat(auto-fill,minmax(330px,1fr))}
.card{background:var(--card);border:1px solid var(--line);border-radius:8px;padding:7px 11px}
.card b{display:block;font-size:17px;font-variant-numeric:tabular-nums}
.card span,footer{color:var(--mute);font-size:12px}
.card p{display:flex;justify-content:space-between;margin:0 0 4px}
canvas{display:block;width:100%;height:110px}
footer{padding:0 20px 14px}a{color:inherit}
</style></head>
<body data-samples="0">
<header><h1>quarlin</h1><span id="state">connecting</span><span id="stream"></span></header>
<main><div class="grid" id="tiles"></div><div class="grid charts" id="charts"></div></main>
<footer>Up to the last 10 minutes, a sample a second, kept by this page from
<a href="/status.json">/status.json</a>; also <a href="/metrics">/metrics</a>.</footer>
<script>
"use strict";
const SPAN = 600, hist = [];
let prev = null, samples = 0;
const $ = id => document.getElementById(id);
const num = v => v.toLocaleString("en");
const bits = v => v >= 1e6 ? (v / 1e6).toFixed(2) + " Mbit/s" : v >= 1e3 ? (v / 1e3).toFixed(0) + " kbit/s" : v + " bit/s";
const rate = v => (v < 10 ? v.toFixed(1) : v.toFixed(0)) + " /s";
const ms = v => (v * 1000).toFixed(1) + " ms";
const dur = s => s >= 86400 ? Math.floor(s / 86400) + " d " + Math.floor(s % 86400 / 3600) + " h" :
  s >= 3600 ? Math.floor(s / 3600) + " h " + Math.floor(s % 3600 / 60) + " min" :
  s >= 60 ? Math.floor(s / 60) + " min " + s % 60 + " s" : s + " s";
const CHARTS = [["rate", "Input rate", bits], ["rtt", "Round trip", ms],
  ["backlog", "Backlog", v => num(Math.round(v)) + " datagrams"],
  ["rec", "Recovered", rate], ["lost", "Given up", rate]];
for (const [key, name] of CHARTS)
  $("charts").insertAdjacentHTML("beforeend", '<div class="card"><p><span>' + name +
    '</span><span id="v-' + key + '"></span></p><canvas id="c-' + key + '"></canvas></div>');

function tiles(j) {
  const c = j.connections, t = [
    ["Uptime", dur(j.uptime_s)], ["Mode", j.mode], ["Input rate", bits(j.input_bits_per_second)],
    ["Round trip", ms(j.rtt_seconds)], ["Backlog", num(j.backlog_datagrams)],
    ["Received", num(j.datagrams_received)], ["Asked again", num(j.lost_requested)],
    ["Recovered", num(j.recovered)], ["Never recovered", num(j.unrecovered)],
    ["Bytes sent", num(j.bytes_sent)], ["Take-overs", num(j.takeovers)],
    ["Suspends / releases", j.suspends + " / " + j.releases],
    ["Connections / refused / at cap", c.accepted + " / " + c.refused + " / " + c.closed_at_cap],
    ["Ring", j.ring_allocated ? "allocated" : "not allocated"]];
  const box = $("tiles");
  if (box.children.length != t.length)
    box.innerHTML = t.map(() => '<div class="card"><span></span><b></b></div>').join("");
  t.forEach(([k, v], i) => {
    box.children[i].firstChild.textContent = k;
    box.children[i].lastChild.textContent = v;
  });
}

function draw(key, fmt) {
  const cv = $("c-" + key), dpr = window.devicePixelRatio || 1;
  const w = cv.clientWidth, h = cv.clientHeight;
  cv.width = w * dpr; cv.height = h * dpr;
  const g = cv.getContext("2d"), css = getComputedStyle(document.body);
  g.scale(dpr, dpr);
  const pts = hist.filter(s => s[key] != null);
  let top = 0;
  for (const s of pts) top = Math.max(top, s[key]);
  top = top > 0 ? top * 1.15 : 1;
  g.strokeStyle = css.getPropertyValue("--line"); g.lineWidth = 1;
  for (const f of [0, .5, 1]) { g.beginPath(); g.moveTo(0, h - f * (h - 14) - .5); g.lineTo(w, h - f * (h - 14) - .5); g.stroke(); }
  g.fillStyle = css.getPropertyValue("--mute"); g.font = "11px system-ui,sans-serif";
  g.fillText(fmt(top), 3, 11);
  // The window grows with the history, from a minute up to the ten minutes kept.
  const now = hist.length ? hist[hist.length - 1].t : 0;
  const span = Math.max(60, Math.min(SPAN, hist.length ? now - hist[0].t : 0));
  const x = t => w - (now - t) / span * w, y = v => h - v / top * (h - 14);
  if (pts.length > 1) {
    const plot = css.getPropertyValue("--plot");
    g.beginPath(); g.moveTo(x(pts[0].t), h);
    for (const s of pts) g.lineTo(x(s.t), y(s[key]));
    g.lineTo(x(pts[pts.length - 1].t), h); g.closePath();
    g.globalAlpha = .18; g.fillStyle = plot; g.fill(); g.globalAlpha = 1;
    g.beginPath();
    pts.forEach((s, i) => i ? g.lineTo(x(s.t), y(s[key])) : g.moveTo(x(s.t), y(s[key])));
    g.strokeStyle = plot; g.lineWidth = 1.5; g.stroke();
  }
  $("v-" + key).textContent = pts.length ? fmt(pts[pts.length - 1][key]) : "";
}

function take(j) {
  const t = performance.now() / 1000, s = {t, rate: j.input_bits_per_second, rtt: j.rtt_seconds,
    backlog: j.backlog_datagrams, rec: null, lost: null};
  // Counters as rates per second between two samples; a restarted relay starts them anew.
  if (prev && t > prev.t) {
    s.rec = Math.max(0, j.recovered - prev.rec) / (t - prev.t);
    s.lost = Math.max(0, j.unrecovered - prev.lost) / (t - prev.t);
  }
  prev = {t, rec: j.recovered, lost: j.unrecovered};
  hist.push(s);
  while (hist.length && hist[0].t < t - SPAN) hist.shift();
}

function show(j) {
  const st = $("state"), m = j.stream;
  st.textContent = j.streaming ? "streaming" : "idle";
  st.className = j.streaming ? "on" : "";
  $("stream").textContent = m ? "\u201c" + m.name + "\u201d from " + m.upstream_ip + ":" +
    m.upstream_port + " for " + dur(m.for_s) + " to " + m.player : "no stream";
  tiles(j);
}

async function poll() {
  try {
    const r = await fetch("/status.json", {cache: "no-store"});
    const j = await r.json();
    take(j); show(j);
  } catch (e) {
    $("state").textContent = "unreachable"; $("state").className = "down";
  }
  for (const [key, , fmt] of CHARTS) draw(key, fmt);
  document.body.dataset.samples = ++samples;
  setTimeout(poll, 1000);
}
poll();
addEventListener("resize", () => { for (const [key, , fmt] of CHARTS) draw(key, fmt); });
</script>
</body></html>
)html";

const size_t kStatusHtmlBytes = sizeof kStatusHtml - 1;
