// A page's calls in Chromium, through the extension and the native host under Wine, timed in the
// page (page to host to page): the first call, which starts the host, and warm calls after it.
// The goal for a warm call is under 5 ms.
//
//   node bench/browser/browser_bench.mjs [WARM_CALLS]
import fs from "node:fs";
import path from "node:path";
import {
  BUILD, hostWrapper, keepSettings, launch, LIBRARY, scratch, startServer, writeSettings,
} from "../../tests/browser/lib/harness.mjs";
import { HostProcess } from "../../tests/browser/lib/host.mjs";

const calls = Number(process.argv[2] || 300);
const store = process.env.QUILLMARK_STORE || path.join(BUILD, "store");

function figures(times) {
  const sorted = [...times].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  const mean = times.reduce((a, b) => a + b, 0) / times.length;
  return `median ${at(0.5).toFixed(2)} ms, mean ${mean.toFixed(2)} ms, p95 ${at(0.95).toFixed(2)} ms, ` +
    `best ${sorted[0].toFixed(2)} ms (${times.length} calls)`;
}

const server = await startServer({
  "/": { body: "<!doctype html><meta charset=utf-8><script src=/quillmark.js></script>" },
  "/quillmark.js": { type: "text/javascript", body: fs.readFileSync(LIBRARY) },
});
const work = scratch("qm-bench-");
const restore = keepSettings();
const wrapper = hostWrapper(work, store);
let browser;
try {
  writeSettings({ AllowedSites: [server.origin("bank.example"), "https://bank.example"] });
  browser = await launch({ hostPath: wrapper });
  const tab = await browser.newPage();
  await tab.goto(server.url("bank.example", "/"));
  const result = await tab.evaluate(async (calls) => {
    const t0 = performance.now();
    const qm = await Quillmark.connect();
    const t1 = performance.now();
    const session = await qm.create("SecureSession");
    const t2 = performance.now();
    await session.Base64Encode("abc");
    const t3 = performance.now();
    const warm = [];
    const text = "한국어 문장 ".repeat(8);
    for (let i = 0; i < calls; i++) {
      const start = performance.now();
      await session.Base64Encode(text);
      warm.push(performance.now() - start);
    }
    const small = [];
    for (let i = 0; i < 20; i++) {
      const start = performance.now();
      await session.GetErrorCode();
      small.push(performance.now() - start);
    }
    return { connect: t1 - t0, create: t2 - t1, call: t3 - t2, warm, small };
  }, calls);
  console.log(`Chromium ${(await browser.version()).replace(/^[^/]*\//, "")}, page at ${server.origin("bank.example")}`);
  console.log(`first call: ${(result.connect + result.create + result.call).toFixed(0)} ms ` +
    `(connect, with the host's start under Wine: ${result.connect.toFixed(0)} ms; create: ` +
    `${result.create.toFixed(1)} ms; Base64Encode: ${result.call.toFixed(1)} ms)`);
  console.log(`warm Base64Encode of 136 characters, page to host to page: ${figures(result.warm)}`);
  console.log(`warm GetErrorCode, page to host to page: ${figures(result.small)}`);
  const median = [...result.warm].sort((a, b) => a - b)[Math.floor(result.warm.length / 2)];
  console.log(`goal, a warm call under 5 ms: ${median < 5 ? "met" : "NOT met"}`);
  await browser.close();
  browser = null;

  // The host alone, without the browser: what the extension and the browser's messaging add.
  const host = new HostProcess(wrapper);
  const page = { client: 1, origin: "https://bank.example", topOrigin: "https://bank.example" };
  await host.request({ id: 1, op: "hello" });
  const made = await host.request({ id: 2, op: "create", ...page, class: "SecureSession" });
  const direct = [];
  for (let i = 0; i < calls; i++) {
    const start = performance.now();
    await host.request({ id: 3 + i, op: "call", ...page, object: made.object,
      method: "Base64Encode", args: ["한국어 문장 ".repeat(8)] });
    direct.push(performance.now() - start);
  }
  await host.close();
  console.log(`the host alone, Base64Encode through its pipes: ${figures(direct)}`);
} finally {
  await browser?.close();
  await server.close();
  restore();
  fs.rmSync(work, { recursive: true, force: true });
}
