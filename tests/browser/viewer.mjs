// Drives Debian's chromium through the browser viewer page, as a person would: opens the page,
// types the code, waits for decoded video, reads the canvas at sample points, clicks, turns the
// wheel, presses keys and sends text. One JSON object of options as the only argument; one JSON
// line per event on standard output.
import { chromium } from "playwright-core";

const opts = JSON.parse(process.argv[2] ?? "{}");
const say = (event) => process.stdout.write(JSON.stringify(event) + "\n");
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const browser = await chromium.launch({
  executablePath: opts.chromium ?? "/usr/bin/chromium",
  headless: true,
  // A fresh profile is Playwright's default; these keep the browser off the network.
  args: [
    "--no-sandbox",
    "--ignore-certificate-errors",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-default-apps",
    "--disable-domain-reliability",
    "--disable-client-side-phishing-detection",
    "--no-first-run",
    "--no-pings",
    "--metrics-recording-only",
  ],
});
try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  page.on("console", (m) => say({ event: "console", text: m.text() }));
  if (opts.counter) {
    // When each picture went to the decoder, by its timestamp, for a breakdown of the latency.
    await page.addInitScript(() => {
      const submitted = window.orvaneSubmitted = new Map();
      const decode = VideoDecoder.prototype.decode;
      VideoDecoder.prototype.decode = function (chunk) {
        submitted.set(chunk.timestamp, performance.timeOrigin + performance.now());
        return decode.call(this, chunk);
      };
      // And how long the page's drawing of each takes.
      const draws = window.orvaneDraws = [];
      const draw = CanvasRenderingContext2D.prototype.drawImage;
      CanvasRenderingContext2D.prototype.drawImage = function (...a) {
        const start = performance.now();
        const r = draw.apply(this, a);
        draws.push(performance.now() - start);
        return r;
      };
    });
  }
  await page.goto(opts.url);
  say({ event: "loaded", webCodecs: await page.evaluate(() => typeof VideoDecoder) });

  if (opts.wrongCode) {
    await page.fill("#code", opts.wrongCode);
    await page.click("#connect");
    await page.waitForFunction(() => window.orvane.state === "closed", null, { timeout: 10000 });
    say({ event: "refused", status: await page.textContent("#status") });
  }

  await page.fill("#code", opts.code);
  await page.click("#connect");
  await page.waitForFunction(() => window.orvane.state === "open", null, { timeout: 10000 });
  say({ event: "open" });

  if (opts.waitFrames) {
    await page.waitForFunction((n) => window.orvane.framesDecoded >= n, opts.waitFrames,
                               { timeout: 20000 });
    const result = await page.evaluate((points) => {
      const c = document.getElementById("screen");
      const ctx = c.getContext("2d");
      const s = window.orvane;
      return {
        width: c.width, height: c.height, decoded: s.framesDecoded,
        submitToFirstFrameMs: s.firstFrameAt - s.submittedAt,
        samples: points.map(([fx, fy]) => Array.from(
          ctx.getImageData(Math.floor(fx * c.width), Math.floor(fy * c.height), 1, 1).data)),
        latencies: s.latencies,
      };
    }, opts.samples ?? []);
    say({ event: "frames", ...result });
  }

  if (opts.counter) {
    // A painted counter (bits, each beside its complement, in square blocks along the top row),
    // read from every decoded picture; the wall-clock time each value is first drawn.
    await page.evaluate(({ bits, block }) => {
      const seen = window.orvaneCounter = [];
      let last = -1;
      const rect = { x: 0, y: 0, width: 2 * bits * block, height: block };
      window.orvaneOnFrame = (frame) => {
        const t = performance.timeOrigin + performance.now(), ts = frame.timestamp;
        // Straight from the decoded picture's luma: no read-back of the canvas.
        const copy = frame.clone();
        const buffer = new Uint8Array(copy.allocationSize({ rect }));
        copy.copyTo(buffer, { rect }).then((layout) => {
          copy.close();
          const row = layout[0].offset + (block / 2) * layout[0].stride;
          const lit = (x) => buffer[row + x] > 128;
          let value = 0;
          for (let i = 0; i < bits; i++) {
            const on = lit(i * block + block / 2), off = lit((bits + i) * block + block / 2);
            if (on === off) return;
            if (on) value |= 1 << i;
          }
          if (value !== last) {
            seen.push([value, t, ts, window.orvaneSubmitted.get(ts) ?? 0]);
          }
          last = value;
        }, () => copy.close());
      };
    }, opts.counter);
    await sleep(opts.counter.seconds * 1000);
    say({ event: "counter", ...await page.evaluate(() => ({ seen: window.orvaneCounter,
                                                             draws: window.orvaneDraws,
                                                             keyframes: window.orvane.keyframes,
                                                             decoded: window.orvane.framesDecoded,
                                                           })) });
  }

  if (opts.actions) {
    const box = await page.locator("#screen").boundingBox();
    const at = (fx, fy) => [box.x + fx * box.width, box.y + fy * box.height];
    const [cx, cy] = opts.click ?? [0.25, 0.5];
    await page.mouse.move(...at(cx, cy));
    await sleep(100);
    await page.mouse.down();
    await page.mouse.up();
    await page.mouse.wheel(0, 100);
    await page.keyboard.press("KeyA");
    await page.keyboard.press("Shift+KeyB");
    await page.keyboard.press("Enter");
    await page.fill("#text", opts.text ?? "Hello, w\u00f6rld \u2713");
    await page.click("#sendText");
    await sleep(500);
    say({ event: "actions" });
  }

  if (opts.screenshot) {
    await page.screenshot({ path: opts.screenshot });
    say({ event: "screenshot", path: opts.screenshot });
  }
  if (opts.holdMs) await sleep(opts.holdMs);
  say({ event: "done" });
} catch (e) {
  say({ event: "error", message: String(e && e.message ? e.message : e) });
  process.exitCode = 1;
} finally {
  await browser.close();
}
