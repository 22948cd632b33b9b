// The demo's browser step: the example page (browser/page/example.html) in Chromium, served over
// HTTPS as https://bank.example, does the exchange through the Quillmark extension and the native
// host under Wine; the page's server reads the sentence with quillmark-server. It prints what the
// page showed and saves a screenshot.
//
//   node examples/browser/demo.mjs SCREENSHOT.png
//
// The demo's site joins the user's AllowedSites for the run; the user's settings are put back as
// they were when it ends.
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import {
  BUILD, hostWrapper, keepSettings, launch, NATIVE, ROOT, scratch, startServer, writeSettings,
} from "../../tests/browser/lib/harness.mjs";

const screenshot = process.argv[2] || path.join(BUILD, "screenshots/browser-demo.png");
const store = process.env.QUILLMARK_STORE || path.join(BUILD, "store");
const pki = path.join(store, "demo");
const page = path.join(ROOT, "browser/page");

// The page's server: the page, the library, the server's certificate, and the exchange, which
// quillmark-server reads with the server's key.
function exchange(request) {
  return new Promise((resolve) => {
    let body = "";
    request.on("data", (chunk) => { body += chunk; });
    request.on("end", () => {
      const fields = new URLSearchParams(body);
      const dir = scratch("qm-demo-exchange-");
      fs.writeFileSync(path.join(dir, "sealed.txt"), fields.get("sealed") || "");
      fs.writeFileSync(path.join(dir, "cipher.txt"), fields.get("cipher") || "");
      let read;
      try {
        read = execFileSync(path.join(NATIVE, "tools/quillmark-server"), ["--key",
          path.join(pki, "server.key"), "--cert", path.join(pki, "server.pem"), "--algorithm", "SEED",
          "--sealed", path.join(dir, "sealed.txt"), "--cipher", path.join(dir, "cipher.txt")],
        { encoding: "utf8" }).trim();
      } catch {
        read = "(the server refused what the page sent)";
      }
      fs.rmSync(dir, { recursive: true, force: true });
      resolve(read);
    });
  });
}

const server = await startServer({
  "/example.html": { body: fs.readFileSync(path.join(page, "example.html")) },
  "/quillmark.js": { type: "text/javascript", body: fs.readFileSync(path.join(page, "quillmark.js")) },
  "/server.pem": { type: "text/plain", body: fs.readFileSync(path.join(pki, "server.pem")) },
  "/exchange": async (request) => ({ type: "text/plain; charset=utf-8", body: await exchange(request) }),
});
const work = scratch("qm-demo-");
const restore = keepSettings();
let browser;
try {
  writeSettings({ AllowedSites: [server.origin("bank.example")] });
  browser = await launch({ hostPath: hostWrapper(work, store) });
  const tab = await browser.newPage();
  await tab.setViewport({ width: 900, height: 640 });
  const address = server.url("bank.example", "/example.html");
  console.log(`   ${address} in Chromium ${(await browser.version()).replace(/^[^/]*\//, "")}`);
  await tab.goto(address);
  const started = Date.now();
  await tab.click("#send");
  await tab.waitForFunction(() => {
    const terms = [...document.querySelectorAll("dt")].map((dt) => dt.textContent);
    return terms.includes("서버가 읽은 문장") || document.querySelector(".failed");
  }, { timeout: 120000 });
  const shown = await tab.evaluate(() => [...document.querySelectorAll("dt")].map((dt) =>
    [dt.textContent, dt.nextElementSibling.textContent, dt.nextElementSibling.className]));
  for (const [term, text] of shown) {
    const short = text.length > 72 ? text.slice(0, 69) + "..." : text;
    console.log(`   ${term}: ${short}`);
  }
  console.log(`   (${Date.now() - started} ms, the Quillmark program's start under Wine included)`);
  fs.mkdirSync(path.dirname(screenshot), { recursive: true });
  await tab.screenshot({ path: screenshot, fullPage: true });
  console.log(`   screenshot: ${path.relative(process.cwd(), screenshot)}`);
  if (shown.some(([, , failed]) => failed)) {
    process.exitCode = 1;
  }
} finally {
  await browser?.close();
  await server.close();
  restore();
  fs.rmSync(work, { recursive: true, force: true });
}
