// What the browser cases and the watcher script share: karvolen-capture
// --serve on the simulated Quellbar, the device's dumped screen, the feed's
// messages as a watcher rebuilds them.
import {spawn} from "node:child_process";
import {readFileSync} from "node:fs";
import {createServer} from "node:net";
import {inflateSync} from "node:zlib";

const BUILD = process.env.BUILD;
export const T = process.env.T;

// Servers still running when the script ends, by a failure too, are ended.
const children = new Set();
process.on("exit", () => children.forEach((c) => c.kill("SIGKILL")));

export function fail(message) {
  console.error("FAIL: " + message);
  process.exit(1);
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls `probe` until it returns something truthy; fails after `ms`.
export async function until(what, probe, ms = 15000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) fail("timed out waiting for " + what);
    await sleep(100);
  }
}

export async function freePort() {
  const s = createServer();
  await new Promise((r) => s.listen(0, "127.0.0.1", r));
  const {port} = s.address();
  await new Promise((r) => s.close(r));
  return port;
}

// The capture serving on `listen`, once it answers. Nobody watching, it
// does not poll: the first picture comes with the first watcher.
export async function serve(sim, listen, extra = []) {
  const child = spawn(`${BUILD}/bin/quellbar-run`, [`${BUILD}/bin/karvolen-capture`, "--serve", listen, ...extra],
                      {env: {...process.env, QUELLBAR_SIM: sim}, stdio: ["ignore", "inherit", "inherit"]});
  children.add(child);
  child.once("exit", () => children.delete(child));
  const port = listen.split(":").pop();
  await until("the server", () => fetch(`http://127.0.0.1:${port}/status`).then(() => true, () => false));
  return child;
}

export async function stop(child) {
  if (child.exitCode !== null) return;
  const ended = new Promise((r) => child.once("exit", r));
  child.kill("SIGTERM");
  await ended;
}

// A binary PPM, a file or its bytes, as top-first RGB; null while the file
// is being replaced.
export function readPpm(file) {
  let bytes = file;
  try {
    if (typeof file === "string") bytes = readFileSync(file);
  } catch {
    return null;
  }
  const head = bytes.toString("latin1", 0, 20).match(/^P6\s+(\d+)\s+(\d+)\s+255\s/);
  if (!head) return null;
  return {width: +head[1], height: +head[2], rgb: bytes.subarray(head[0].length)};
}

// One feed message inflated: its type and body.
export function feedMessage(deflated) {
  const m = inflateSync(deflated);
  return {type: m[4], body: m.subarray(8)};
}

// A watcher's picture, rebuilt from whole pictures and bands.
export class Picture {
  width = 0;
  time = 0;
  apply({type, body}) {
    const v = new DataView(body.buffer, body.byteOffset, body.length);
    if (type === 2) {
      this.width = v.getUint16(8, true);
      this.palette = body.slice(12, 1036);
      this.pixels = body.slice(1036);
    } else if (type === 3) {
      this.pixels.set(body.subarray(12), v.getUint16(8, true) * this.width);
    } else {
      return false;
    }
    this.time = v.getFloat64(0, true);
    return true;
  }
  // Top-first RGB, as the dump.
  rgb() {
    const out = Buffer.alloc(this.width * 480 * 3);
    for (let y = 0; y < 480; ++y) {
      for (let x = 0; x < this.width; ++x) {
        const c = this.pixels[(479 - y) * this.width + x] * 4, o = (y * this.width + x) * 3;
        out[o] = this.palette[c + 2];
        out[o + 1] = this.palette[c + 1];
        out[o + 2] = this.palette[c];
      }
    }
    return out;
  }
}
