// The served page in Debian's chromium against karvolen-capture --serve on the
// simulated Quellbar: the canvas against the device's screen, the title, the
// age note, reconnecting; then the server's refusals seen from node.
import {execFileSync} from "node:child_process";
import {mkdtempSync, readFileSync, writeFileSync} from "node:fs";
import {request} from "node:http";
import {chromium} from "playwright-core";
import {T, fail, feedMessage, freePort, readPpm, serve, stop, until} from "./lib.mjs";

// The window's own titles, from its constants.
const TITLES = {communicating: process.env.TITLE_COMMUNICATING, failure: process.env.TITLE_FAILURE};

const browser = await chromium.launchPersistentContext(mkdtempSync(`${T}/profile-`), {
  executablePath: "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync"],
});

// A page on the server, counting the feed's message types and keeping the
// last picture's time.
async function open(port) {
  const page = await browser.newPage();
  const seen = {types: [0, 0, 0, 0, 0], time: 0, widths: []};
  page.on("websocket", (ws) => ws.on("framereceived", ({payload}) => {
    const m = feedMessage(Buffer.from(payload));
    ++seen.types[m.type];
    if (m.type === 2 || m.type === 3) seen.time = m.body.readDoubleLE(0);
    if (m.type === 2) seen.widths.push(m.body.readUInt16LE(8));
  }));
  await page.goto(`http://127.0.0.1:${port}/`);
  return {page, seen};
}

// The canvas as top-first RGB.
async function canvas(page) {
  const {width, height, data} = await page.evaluate(() => {
    const c = document.getElementById("picture");
    const rgba = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    let s = "";
    for (let i = 0; i < rgba.length; i += 4) s += String.fromCharCode(rgba[i], rgba[i + 1], rgba[i + 2]);
    return {width: c.width, height: c.height, data: btoa(s)};
  });
  return {width, height, rgb: Buffer.from(data, "base64")};
}

// The canvas equal to the device's screen at `frames` different screens.
async function matches(page, dump, frames, width) {
  const matched = new Set();
  await until(`${frames} screens of ${width} on the canvas`, async () => {
    const c = await canvas(page), d = readPpm(dump);
    if (d && c.width === width && d.width === width && c.height === 480 && c.rgb.equals(d.rgb)) {
      matched.add(d.rgb.toString("base64"));
    }
    return matched.size >= frames;
  }, 20000 + frames * 3000);
}

// The page's decoder on a table of streams, each refused at the message the
// row names (-1: none), then on random corruptions of a good stream: each
// message refused with the decoder's own Error or accepted inside its bounds.
async function decoderCases(page) {
  return page.evaluate(() => {
    const msg = (type, body, pad = 0) => {
      const m = new Uint8Array(8 + body.length), v = new DataView(m.buffer);
      v.setUint32(0, body.length, true);
      m[4] = type;
      m[6] = pad;
      m.set(body, 8);
      return m;
    };
    const fields = (size, set) => {
      const b = new Uint8Array(size);
      set(new DataView(b.buffer));
      return b;
    };
    const hello = (magic = 0x4446564B, version = 1) => msg(1, fields(16, (v) => {
      v.setUint32(0, magic, true);
      v.setUint16(4, version, true);
    }));
    const whole = (w, pixels = w * 480) => msg(2, fields(1036 + pixels, (v) => v.setUint16(8, w, true)));
    const band = (first, count, rows = count, w = 800) => msg(3, fields(12 + rows * w, (v) => {
      v.setUint16(8, first, true);
      v.setUint16(10, count, true);
    }));
    const state = (n) => msg(4, fields(4, (v) => v.setUint32(0, n, true)));
    const rows = [
      ["good", [hello(), state(1), whole(800), band(0, 480), band(479, 1), band(5, 0), state(4)], -1],
      ["padding", [hello(), msg(4, state(1).subarray(8), 1)], 1],
      ["length", [hello(), whole(800, 800 * 480 - 1)], 1],
      ["first not a hello", [state(1)], 0],
      ["magic", [hello(0x4446564C)], 0],
      ["version", [hello(0x4446564B, 2)], 0],
      ["second hello", [hello(), hello()], 1],
      ["band first", [hello(), band(0, 1)], 1],
      ["width", [hello(), whole(700)], 1],
      ["band past 480", [hello(), whole(800), band(470, 11)], 2],
      ["band length", [hello(), whole(800), band(0, 2, 1)], 2],
      ["short band", [hello(), whole(800), msg(3, new Uint8Array(4))], 2],
      ["state 0", [hello(), state(0)], 1],
      ["state 5", [hello(), state(5)], 1],
      ["type 5", [hello(), msg(5, new Uint8Array(4))], 1],
    ];
    const failures = [];
    const run = (stream) => {
      const decode = FeedDecoder();
      for (const [i, m] of stream.entries()) {
        try {
          const d = decode(m.slice().buffer);
          if (d.type === "picture" && (d.first + d.count > 480 || d.pixels.length !== d.count * d.width)) {
            return "accepted out of bounds";
          }
        } catch (e) {
          return e.constructor === Error ? i : e.constructor.name + ": " + e.message;
        }
      }
      return -1;
    };
    for (const [name, stream, want] of rows) {
      const got = run(stream);
      if (got !== want) failures.push(`${name}: ${got}, not ${want}`);
    }
    let seed = 7, refused = 0;
    const random = (n) => (seed = (seed * 1103515245 + 12345) % 2147483648) % n;
    const good = [hello(), state(1), whole(640), band(0, 2, 2, 640), band(479, 1, 1, 640), state(2)];
    for (let i = 0; i < 2000; ++i) {
      const stream = good.map((m) => m.slice());
      const m = stream[random(stream.length)];
      for (let k = 0; k < 1 + random(3); ++k) m[random(Math.min(m.length, 24))] = random(256);
      const got = run(stream);
      if (typeof got === "string") failures.push(`corruption ${i}: ${got}`);
      else if (got >= 0) ++refused;
    }
    if (run(good) !== -1 || refused < 1000) failures.push(`the good stream refused, or only ${refused} corruptions`);
    return {failures, refused};
  });
}

const title = (page) => page.evaluate(() => document.title);
const note = (page, id) => page.evaluate((id) => {
  const e = document.getElementById(id);
  return e.hidden ? null : e.textContent;
}, id);

// Both widths: the whole picture and the bands after it, pixel for pixel.
for (const width of [800, 640]) {
  const port = await freePort(), dump = `${T}/screen-${width}.ppm`;
  const server = await serve(`width=${width};dump=${dump}`, `127.0.0.1:${port}`);
  const {page, seen} = await open(port);
  await matches(page, dump, 3, width);
  if (seen.types[2] < 1 || seen.types[3] < 2) fail(`messages by type ${seen.types}: no whole picture and bands`);
  if ((await title(page)) !== TITLES.communicating) fail(`title "${await title(page)}"`);
  if (width === 640) {
    const {failures, refused} = await decoderCases(page);
    if (failures.length) fail("the page's decoder: " + failures.join("; "));
    console.log(`ok - the page's decoder: 15 streams refused where they go wrong; of 2000 corruptions ${refused}` +
                " refused, the rest inside their bounds");
  }
  console.log(`ok - ${width} x 480: canvas equals the device's screen at 3 screens,` +
              ` ${seen.types[2]} whole and ${seen.types[3]} bands; title "${await title(page)}"`);

  if (width === 800) {
    // The window's fit modes in the default 1280 x 720 viewport.
    const sizes = [];
    for (const mode of ["aspect", "zoom", "stretch"]) {
      await page.selectOption("#fit", mode);
      sizes.push(await page.$eval("#picture", (c) => `${c.clientWidth}x${c.clientHeight}+${c.offsetLeft}+${c.offsetTop}`));
    }
    if (sizes.join() !== "1200x720+40+0,800x480+240+120,1280x720+0+0") fail(`fit modes: ${sizes}`);
    await page.click("#full");
    if (!(await page.evaluate(() => !!document.fullscreenElement))) fail("no full screen");
    console.log(`ok - keep aspect, integer zoom, stretch: ${sizes.join(", ")}; full screen`);

    // No picture for over 5 s while communicating: the note, then gone with the next.
    server.kill("SIGSTOP");
    const text = await until("the age note", () => note(page, "age"), 9000);
    const t = new Date(seen.time * 1000), two = (n) => String(n).padStart(2, "0");
    const want = `Picture from ${two(t.getHours())}:${two(t.getMinutes())}:${two(t.getSeconds())}`;
    if (text !== want) fail(`age note "${text}", not "${want}"`);
    server.kill("SIGCONT");
    await until("the age note to go", async () => (await note(page, "age")) === null, 5000);
    console.log(`ok - server stalled: "${text}", gone with the next picture`);

    // The server goes away and comes back on the same port.
    await stop(server);
    await until("reconnecting", async () => (await note(page, "link")) === "reconnecting", 5000);
    const again = await serve(`width=640;dump=${dump}`, `127.0.0.1:${port}`);
    await until("the note to go", async () => (await note(page, "link")) === null, 15000);
    await matches(page, dump, 2, 640);
    console.log("ok - server restarted: \"reconnecting\", then the live picture again (now 640 wide)");
    await stop(again);
  } else {
    await stop(server);
  }
  await page.close();
}

// A width change in one stream: the drained reply makes the next request a
// whole picture, which brings the new width.
{
  const port = await freePort(), dump = `${T}/switch.ppm`;
  const server = await serve(`widthswitch=2;faults=nosig:20000@2;dump=${dump}`, `127.0.0.1:${port}`);
  const {page, seen} = await open(port);
  await matches(page, dump, 2, 640);
  if (seen.widths.join() !== "800,640") fail(`whole pictures ${seen.widths} wide, not 800 then 640`);
  console.log(`ok - whole pictures ${seen.widths} wide in one stream, then the canvas equals the device's 640 screens`);
  await stop(server);
  await page.close();
}

// A loud fault: the window's failure title.
{
  const port = await freePort();
  const dump = `${T}/frozen.ppm`;
  const server = await serve(`freeze=1;faults=noreply@3;dump=${dump}`, `127.0.0.1:${port}`);
  const {page} = await open(port);
  await until("the failure title", async () => (await title(page)) === TITLES.failure, 15000);
  await until("communicating again", async () => (await title(page)) === TITLES.communicating, 15000);
  console.log(`ok - lost reply: title "${TITLES.failure}", then "${TITLES.communicating}" again`);
  // Save: the server's PNG of the (frozen) picture.
  const [download] = await Promise.all([page.waitForEvent("download"), page.click("#save")]);
  const saved = `${T}/${download.suggestedFilename()}`;
  await download.saveAs(saved);
  const png = readFileSync(saved), pixels = readPpm(execFileSync("convert", [saved, "ppm:-"], {maxBuffer: 1 << 22}));
  if (png.readUInt8(25) !== 3 || !pixels.rgb.equals(readPpm(dump).rgb)) fail(`${saved}: not the device's screen`);
  console.log(`ok - Save: ${download.suggestedFilename()}, a palette PNG of the device's screen`);
  await stop(server);
  await page.close();
}
await browser.close();

// The refusals, from node. `headers` beyond Host; the status answered.
function get(port, path, headers = {}) {
  return new Promise((resolve, reject) => {
    const r = request({host: "127.0.0.1", port, path, headers}, (res) => {
      res.resume();
      resolve(res.statusCode);
    });
    r.on("upgrade", (res, socket) => { socket.destroy(); resolve(res.statusCode); });
    r.on("error", reject);
    r.end();
  });
}
const upgrade = {"Connection": "Upgrade", "Upgrade": "websocket", "Sec-WebSocket-Version": "13",
                 "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="};
{
  const port = await freePort();
  writeFileSync(`${T}/password`, "s3cret\n");
  const server = await serve("", `127.0.0.1:${port}`, ["--password-file", `${T}/password`]);
  const auth = "Basic " + Buffer.from("anyone:s3cret").toString("base64");
  if ((await get(port, "/status", {Authorization: auth})) !== 200) fail("/status refused with the password");
  const got = [await get(port, "/"), await get(port, "/snapshot.png"), await get(port, "/ws", upgrade)];
  if (got.some((s) => s !== 401)) fail(`with a password, none given: ${got}`);
  console.log(`ok - password set: /, /snapshot.png, /ws without it: ${got}; /status with it: 200`);
  await stop(server);
}
{
  const port = await freePort();
  const server = await serve("", `${port}`);
  const own = await get(port, "/ws", {...upgrade, Origin: `http://127.0.0.1:${port}`});
  const foreign = await get(port, "/ws", {...upgrade, Origin: "http://example.org"});
  if (own !== 101 || foreign !== 403) fail(`/ws from its own page ${own}, from a foreign one ${foreign}`);
  const listening = execFileSync("ss", ["-Hltn", `sport = :${port}`]).toString().trim().split(/\s+/)[3];
  if (listening !== `127.0.0.1:${port}`) fail(`--serve ${port} listens on ${listening}`);
  console.log(`ok - /ws from its own origin ${own}, from a foreign one ${foreign}; --serve ${port} listens on ${listening}`);
  await stop(server);
}
