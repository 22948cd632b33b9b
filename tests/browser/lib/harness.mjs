// What the browser tests, the demo and the benchmark share: a test HTTPS server for made-up sites,
// Chromium with the Quillmark extension loaded and the native host's manifest in its profile, the
// host run under Wine through a wrapper, and the site lock's settings in the project's Wine prefix.
import { execFileSync, spawn, spawnSync } from "node:child_process";
import { createHash } from "node:crypto";
import fs from "node:fs";
import https from "node:https";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import puppeteer from "puppeteer-core";

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../../..");
export const EXTENSION = path.join(ROOT, "browser/extension");
export const LIBRARY = path.join(ROOT, "browser/page/quillmark.js");
export const HOST_NAME = "org.quillmark.host";
// The made-up sites, all served by the one test server.
export const SITES = ["bank.example", "evil.example", "ads.example", "other.example"];

// The extension's ID, as a browser derives it from the key in its manifest.
export function extensionId(dir = EXTENSION) {
  const manifest = JSON.parse(fs.readFileSync(path.join(dir, "manifest.json"), "utf8"));
  const hash = createHash("sha256").update(Buffer.from(manifest.key, "base64")).digest("hex");
  return [...hash.slice(0, 32)].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join("");
}

export function scratch(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// An HTTPS server on 127.0.0.1 with a throwaway certificate; `routes` maps a path to
// { type, body } or to a function (request, url) => { type, body } (or a promise of it). Every
// made-up site reaches it.
export async function startServer(routes) {
  const dir = scratch("qm-server-");
  execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
    "-subj", "/CN=bank.example", "-keyout", path.join(dir, "key.pem"),
    "-out", path.join(dir, "cert.pem")], { stdio: "ignore" });
  const server = https.createServer({
    key: fs.readFileSync(path.join(dir, "key.pem")),
    cert: fs.readFileSync(path.join(dir, "cert.pem")),
  }, async (request, response) => {
    const url = new URL(request.url, "https://" + request.headers.host);
    const found = routes[url.pathname];
    const route = typeof found === "function" ? await found(request, url) : found;
    if (!route) {
      response.writeHead(404).end("not found");
      return;
    }
    response.writeHead(200, { "content-type": route.type || "text/html; charset=utf-8" });
    response.end(route.body);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  fs.rmSync(dir, { recursive: true, force: true });
  const port = server.address().port;
  return {
    port,
    origin: (site) => `https://${site}:${port}`,
    url: (site, page) => `https://${site}:${port}${page}`,
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}

// The native host's manifest in the profile, naming `hostPath` (a program that speaks the
// protocol on its standard input and output).
export function installHostManifest(profile, hostPath) {
  const folder = path.join(profile, "NativeMessagingHosts");
  fs.mkdirSync(folder, { recursive: true });
  fs.writeFileSync(path.join(folder, HOST_NAME + ".json"), JSON.stringify({
    name: HOST_NAME,
    description: "Quillmark (test)",
    path: hostPath,
    type: "stdio",
    allowed_origins: [`chrome-extension://${extensionId()}/`],
  }, null, 2));
}

// Chromium, headless, with the extension (unless `extension` is false) and a fresh profile whose
// native messaging host is `hostPath`. HOME and XDG_* point into the scratch folder.
export async function launch({ hostPath, extension = true, port }) {
  const home = scratch("qm-chromium-");
  const profile = path.join(home, "profile");
  fs.mkdirSync(profile);
  if (hostPath) {
    installHostManifest(profile, hostPath);
  }
  const args = [
    "--no-sandbox", "--headless=new", "--disable-gpu", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--ignore-certificate-errors",
    `--host-resolver-rules=${SITES.map((s) => `MAP ${s} 127.0.0.1`).join(", ")}`,
  ];
  if (extension) {
    args.push(`--load-extension=${EXTENSION}`, `--disable-extensions-except=${EXTENSION}`);
  }
  const env = { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, ".config"),
    XDG_CACHE_HOME: path.join(home, ".cache"), XDG_DATA_HOME: path.join(home, ".local/share") };
  const browser = await puppeteer.launch({
    executablePath: process.env.QM_CHROMIUM || "/usr/bin/chromium",
    userDataDir: profile,
    ignoreDefaultArgs: ["--disable-extensions"],
    args,
    env,
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    fs.rmSync(home, { recursive: true, force: true });
  };
  return browser;
}

/* ---- The project's Wine world ---- */

export const BUILD = process.env.QM_BUILD || path.join(ROOT, "build");
export const BIN = process.env.QM_BIN || path.join(BUILD, "bin");
export const NATIVE = process.env.QM_NATIVE_DIR || path.join(BUILD, "native");

// The environment of a Wine program of the project (scripts/env.sh exports the same).
export function wineEnv(store) {
  const env = { ...process.env, WINEPREFIX: process.env.WINEPREFIX || path.join(ROOT, ".wine"),
    WINEDEBUG: process.env.WINEDEBUG || "-all", WINEDLLOVERRIDES: "mscoree,mshtml=",
    LANG: "ko_KR.UTF-8" };
  delete env.WINEDLLPATH;
  delete env.LC_ALL;
  if (store) {
    env.QUILLMARK_STORE = "Z:" + store;
  }
  return env;
}

export function wine(args, options = {}) {
  return spawnSync("wine", args, { env: wineEnv(), encoding: "latin1", ...options });
}

// The wrapper that a browser starts as the native host: the host under Wine in the project's
// prefix, with the store `store`. It writes its process id into `pidFile` (the host keeps it).
export function hostWrapper(dir, store, pidFile = path.join(dir, "host.pid")) {
  const env = wineEnv(store);
  const exported = ["WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "LANG", "QUILLMARK_STORE"]
    .map((name) => `export ${name}='${env[name]}'`).join("\n");
  const wrapper = path.join(dir, "quillmark-host.sh");
  fs.writeFileSync(wrapper, `#!/bin/sh
# Quillmark's native host under Wine, as a browser starts it.
${exported}
export HOME='${os.homedir()}'
unset WINEDLLPATH LC_ALL
echo $$ > '${pidFile}'
exec wine '${path.join(BIN, "quillmark-host.exe")}' "$@"
`, { mode: 0o755 });
  return wrapper;
}

// A demo store (users, a server certificate and its key) made by the store tool.
export function demoStore(dir) {
  execFileSync(path.join(NATIVE, "store/tool/ledra-tool"), ["--store", dir, "demo", "--force"],
    { stdio: "ignore" });
  return {
    dir,
    serverPem: fs.readFileSync(path.join(dir, "demo/server.pem"), "utf8"),
    serverKey: path.join(dir, "demo/server.key"),
    serverCert: path.join(dir, "demo/server.pem"),
  };
}

// What the server reads from a sealed text and a ciphertext: quillmark-server's output.
export function serverReads(store, sealed, cipher, algorithm = "SEED") {
  const dir = scratch("qm-exchange-");
  try {
    fs.writeFileSync(path.join(dir, "sealed.txt"), sealed);
    fs.writeFileSync(path.join(dir, "cipher.txt"), cipher);
    return execFileSync(path.join(NATIVE, "tools/quillmark-server"), ["--key", store.serverKey,
      "--cert", store.serverCert, "--algorithm", algorithm, "--sealed", path.join(dir, "sealed.txt"),
      "--cipher", path.join(dir, "cipher.txt")], { encoding: "utf8" }).trim();
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

/* ---- The site lock's settings in the prefix ---- */

const USER_KEY = "HKCU\\SOFTWARE\\TesselCorp\\Oriel\\Quillmark";
const POLICY_KEY = "HKLM\\SOFTWARE\\Policies\\TesselCorp\\Quillmark";

// Writes the user's settings: { SiteLock, AllowedSites: [...], SessionScope }, after clearing the
// user's and the administrator's.
export function writeSettings(values) {
  clearSettings();
  for (const [name, value] of Object.entries(values)) {
    const args = Array.isArray(value)
      ? ["/t", "REG_MULTI_SZ", "/d", value.join("\\0")]
      : ["/t", "REG_DWORD", "/d", String(value)];
    const done = wine(["reg", "add", USER_KEY, "/v", name, ...args, "/f"]);
    if (done.status !== 0) {
      throw new Error(`reg add ${name} failed: ${done.stdout}${done.stderr}`);
    }
  }
}

export function clearSettings() {
  for (const key of [USER_KEY, POLICY_KEY]) {
    wine(["reg", "delete", key, "/f"]);
  }
}

// Keeps the user's and the administrator's settings as they are now and gives back a function
// that puts them back (for the demo and the benchmark, which run outside the tests).
export function keepSettings() {
  const dir = scratch("qm-settings-");
  const kept = [USER_KEY, POLICY_KEY].map((key, i) => {
    const file = path.join(dir, `${i}.reg`);
    const exported = wine(["reg", "export", key, winPath(file), "/y"]);
    return { key, file: exported.status === 0 && fs.existsSync(file) ? file : null };
  });
  return () => {
    for (const { key, file } of kept) {
      wine(["reg", "delete", key, "/f"]);
      if (file) {
        wine(["reg", "import", winPath(file)]);
      }
    }
    fs.rmSync(dir, { recursive: true, force: true });
  };
}

export function winPath(unixPath) {
  return "Z:" + unixPath.replaceAll("/", "\\");
}

/* ---- The consent dialog ---- */

// Waits for the host's consent dialog and answers it ("deny" or "once") as a person does; what
// the dialog showed ({ origin }), or null when none came. The one place that knows the dialog.
export function answerConsent(answer, seconds = 60) {
  const driver = process.env.QM_CONSENT_DRIVER ||
    path.join(BUILD, "win64/tests/browser/qm_consent_driver.exe");
  return new Promise((resolve) => {
    const child = spawn("wine", [driver, answer, String(seconds)], { env: wineEnv() });
    let out = "";
    child.stdout.on("data", (d) => { out += d.toString("latin1"); });
    child.on("close", () => {
      const found = /consent: origin=(\S*) answer=/.exec(out);
      resolve(found ? { origin: found[1], output: out.trim() } : null);
    });
  });
}
