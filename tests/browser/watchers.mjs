// 50 WebSocket watchers on one server and one connection that stops reading:
// every watcher rebuilds the same pictures in the same order, the device's
// screen among them, and none waits for the stuck one.
import {execFileSync, spawn} from "node:child_process";
import {Picture, T, fail, feedMessage, freePort, readPpm, serve, sleep, stop} from "./lib.mjs";

const WATCHERS = 50, SECONDS = 12;
const port = await freePort(), dump = `${T}/watchers.ppm`;
const server = await serve(`dump=${dump}`, `127.0.0.1:${port}`, ["--max-viewers", `${WATCHERS + 1}`]);

// Handshakes, then never reads, with a small receive buffer so that the
// server's writes to it soon block.
const stuck = spawn("python3", ["-c", `
import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
s.connect(("127.0.0.1", ${port}))
s.sendall(b"GET /ws HTTP/1.1\\r\\nHost: 127.0.0.1:${port}\\r\\nUpgrade: websocket\\r\\nConnection: Upgrade\\r\\n"
          b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\\r\\nSec-WebSocket-Version: 13\\r\\n\\r\\n")
print(s.getsockname()[1], flush=True)
time.sleep(600)`], {stdio: ["ignore", "pipe", "inherit"]});
const stuckPort = +(await new Promise((r) => stuck.stdout.once("data", r)));

let dumpMatches = 0;
const watchers = Array.from({length: WATCHERS}, (_, i) => {
  const w = {picture: new Picture(), shown: [], gap: 0, last: 0, closed: false};
  const ws = new WebSocket(`ws://127.0.0.1:${port}/ws`);
  ws.binaryType = "arraybuffer";
  ws.onmessage = (event) => {
    if (!w.picture.apply(feedMessage(Buffer.from(event.data)))) return;
    const now = Date.now();
    if (w.last) w.gap = Math.max(w.gap, now - w.last);
    w.last = now;
    const rgb = w.picture.rgb();
    w.shown.push({time: w.picture.time, rgb: rgb.toString("base64")});
    if (i === 0) {
      const d = readPpm(dump);
      if (d && d.rgb.equals(rgb)) ++dumpMatches;
    }
  };
  ws.onclose = () => { w.closed = true; };
  w.ws = ws;
  return w;
});
await sleep(SECONDS * 1000);
// The stuck one's bytes: unread on its side, waiting on the server's.
const queues = (filter) => execFileSync("ss", ["-Htn", filter]).toString().trim().split(/\s+/);
const unread = +queues(`dport = :${port} sport = :${stuckPort}`)[1];
const unsent = +queues(`sport = :${port} dport = :${stuckPort}`)[2];
const closed = watchers.findIndex((w) => w.closed);
if (closed >= 0) fail(`watcher ${closed} was closed`);
watchers.forEach((w) => w.ws.close());
stuck.kill();
await stop(server);

// Every watcher saw each picture after its first one, in order, the same.
const byTime = new Map();
for (const [i, w] of watchers.entries()) {
  if (w.shown.length < SECONDS - 3) fail(`watcher ${i} got ${w.shown.length} pictures in ${SECONDS} s`);
  // A picture a second, late on a loaded machine; a write waiting on the stuck
  // one would hold a watcher for the 10 s write timeout.
  if (w.gap > 4000) fail(`watcher ${i} waited ${w.gap} ms between pictures`);
  w.shown.forEach((s, k) => {
    if (k && s.time <= w.shown[k - 1].time) fail(`watcher ${i}: picture ${k} out of order`);
    if (byTime.has(s.time) && byTime.get(s.time) !== s.rgb) fail(`watcher ${i}: picture at ${s.time} differs`);
    byTime.set(s.time, s.rgb);
  });
}
const starts = watchers.map((w) => w.shown[0].time), ends = watchers.map((w) => w.shown.at(-1).time);
const from = Math.max(...starts), to = Math.min(...ends);
const span = (w) => w.shown.filter((s) => s.time >= from && s.time <= to).length;
const counts = new Set(watchers.map(span));
if (counts.size !== 1) fail(`watchers got different pictures between the same times: ${[...counts]}`);
if (dumpMatches < 3) fail(`only ${dumpMatches} pictures equal to the device's screen when they came`);
if (!unread || !unsent) fail(`the stuck watcher: ${unread} bytes unread, ${unsent} unsent: it was never behind`);
const gaps = watchers.map((w) => w.gap);
console.log(`ok - ${WATCHERS} watchers beside a stuck one: ${[...counts][0]} pictures each between the same times,` +
            ` all equal, in order, ${dumpMatches} equal to the device's screen; longest gap ${Math.max(...gaps)} ms;` +
            ` the stuck one ${unread} bytes unread, ${unsent} more waiting at the server`);
