// Quillmark in a real browser: Chromium (headless) with the extension loaded, the native host
// under Wine, and pages served over HTTPS from made-up sites, as a user's browser meets them.
// The host is also spoken to directly, as a broken or hostile writer would.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import {
  answerConsent, clearSettings, demoStore, hostWrapper, launch, LIBRARY, scratch, serverReads,
  startServer, writeSettings,
} from "./lib/harness.mjs";
import { HostProcess } from "./lib/host.mjs";

const SENTENCE = "한국어 문장: 브라우저에서 보낸 비밀";
const work = scratch("qm-browser-test-");
const store = demoStore(path.join(work, "store"));
const wrapper = hostWrapper(work, store.dir);
let server;
let browser;

// A page that loads the library, with `body`. Its askExtension(id, fields) writes a request
// straight to the extension, past the library, and resolves to the reply of that id.
function page(body = "") {
  return { body: `<!doctype html><meta charset="utf-8"><title>Quillmark test</title>
<script src="/quillmark.js"></script><script>
function askExtension(id, fields) {
  return new Promise((resolve) => {
    addEventListener("message", function listen(event) {
      if (event.data?.channel === "org.quillmark.extension" && event.data.id === id &&
          event.data.type === "reply") {
        removeEventListener("message", listen);
        resolve(event.data);
      }
    });
    postMessage({ channel: "org.quillmark.page", type: "request", id, ...fields }, location.origin);
  });
}
</script><body>${body}</body>` };
}

before(async () => {
  server = await startServer({
    "/quillmark.js": { type: "text/javascript", body: fs.readFileSync(LIBRARY) },
    "/": page(),
    "/framed": (request, url) => page(`<iframe src="${url.searchParams.get("src")}"></iframe>`),
  });
  browser = await launch({ hostPath: wrapper });
});

after(async () => {
  await browser?.close();
  await server?.close();
  clearSettings();
  fs.rmSync(work, { recursive: true, force: true });
});

async function open(site, address = "/") {
  const tab = await browser.newPage();
  await tab.goto(server.url(site, address));
  return tab;
}

// Runs `body(qm, ...args)` in the page (or frame) after connecting; what it returned, or the
// name and message of what it threw.
function inPage(target, body, ...args) {
  return target.evaluate(async (source, args) => {
    try {
      const qm = await Quillmark.connect();
      // eslint-disable-next-line no-new-func
      return { value: await new Function("return " + source)()(qm, ...args) };
    } catch (error) {
      return { error: error.name, message: error.message };
    }
  }, body.toString(), args);
}

describe("a listed site", () => {
  before(() => writeSettings({ AllowedSites: [server.origin("bank.example")] }));

  test("does the whole exchange, and the server reads the Korean sentence", async () => {
    const tab = await open("bank.example");
    const seen = await inPage(tab, async (qm, pem, sentence) => {
      const session = await qm.create("SecureSession");
      const sealed = await session.GenerateEx("SEED", pem);
      const generated = await session.GetErrorCode();
      const cipher = await session.EncipherEx(sentence);
      const back = await session.DecipherEx(cipher);
      const keyIv = await session.getKEYIV();
      const failed = await session.DecipherEx("not base64 !");
      const failedCode = await session.GetErrorCode();
      const failedText = await session.GetErrorString();
      const directory = await qm.create("Veyra");
      const dns = await directory.getDNList("", 0, 0);
      const wrongPassword = await directory.getCert(dns.split("|")[0], "wrong");
      const wrongCode = await directory.GetErrorCode();
      qm.close();
      return { sealed, generated, cipher, back, keyIv, failed, failedCode, failedText, dns,
        wrongPassword, wrongCode };
    }, store.serverPem, SENTENCE);
    assert.equal(seen.error, undefined, seen.message);
    const v = seen.value;
    assert.equal(v.generated, 0);
    assert.match(v.sealed, /^[A-Za-z0-9+/]+=*$/);
    assert.equal(v.keyIv, v.sealed, "getKEYIV hands out the sealed text again");
    assert.equal(v.back, SENTENCE, "DecipherEx gives the sentence back");
    assert.equal(v.failed, null, "a failed method resolves to null");
    assert.equal(v.failedCode, 13);
    assert.equal(v.failedText, "Symmetric Key Decrypting Failure");
    assert.ok(v.dns.split("|").length >= 3, v.dns);
    assert.equal(v.wrongPassword, null);
    assert.equal(v.wrongCode, 3, "Wrong Password of Private Key");
    assert.equal(serverReads(store, v.sealed, v.cipher), SENTENCE);
    await tab.close();
  });

  test("DSSession validates, and methods keep their integer results", async () => {
    const tab = await open("bank.example");
    const seen = await inPage(tab, async (qm) => {
      const ds = await qm.create("DSSession");
      const empty = await ds.GeneralValidation("", "", "", "", 0);
      const code = await ds.GetErrorCode();
      return { empty, code };
    });
    assert.deepEqual(seen.value, { empty: -198148082, code: 14 });
    await tab.close();
  });

  test("arguments a method cannot take, unknown methods and classes are refused clearly", async () => {
    const tab = await open("bank.example");
    const seen = await inPage(tab, async (qm) => {
      const outcome = (promise) => promise.then((v) => ({ value: v }),
        (e) => ({ error: e.name, message: e.message }));
      const directory = await qm.create("Veyra");
      return {
        notANumber: await outcome(directory.getDNList("", "medium zero", 0)),
        tooFew: await outcome(directory.getCert("cn=x")),
        anObject: await outcome(directory.getCert({}, "x")),
        noClass: await outcome(qm.create("Format")),
        // Past the library, straight to the extension: what the host says.
        noMethod: await askExtension(9001,
          { op: "call", object: 1, method: "Frobnicate", args: [] }),
      };
    });
    const v = seen.value;
    assert.equal(v.notANumber.error, "TypeError", v.notANumber.message);
    assert.match(v.notANumber.message, /argument 2/);
    assert.equal(v.tooFew.error, "TypeError");
    assert.equal(v.anObject.error, "TypeError");
    assert.equal(v.noClass.error, "NotSupportedError");
    assert.equal(v.noMethod.ok, false);
    assert.ok(["NotSupportedError", "InvalidStateError"].includes(v.noMethod.error.name));
    await tab.close();
  });
});

describe("pages that are not the listed site's own", () => {
  before(() => writeSettings({
    SiteLock: 1,
    AllowedSites: [server.origin("bank.example"), server.origin("ads.example"),
      server.origin("other.example")],
  }));

  test("a foreign frame inside a listed page is refused, a frame of the site is served", async () => {
    const foreign = await open("bank.example",
      "/framed?src=" + encodeURIComponent(server.url("ads.example", "/")));
    const own = await open("bank.example", "/framed?src=/");
    const make = async (qm) => (await qm.create("SecureSession")).Base64Encode("abc");
    const foreignFrame = foreign.frames().find((f) => f.url().startsWith(server.origin("ads.example")));
    assert.deepEqual(await inPage(foreignFrame, make), {
      error: "NotAllowedError",
      message: "Quillmark refused the call: this site may not use it here (the site lock)",
    });
    assert.deepEqual(await inPage(own.frames()[1], make), { value: "YWJj" });
    await foreign.close();
    await own.close();
  });

  test("a page that writes an origin or another page's object into its message changes nothing",
    async () => {
      const bank = await open("bank.example");
      const made = await inPage(bank, async (qm) => {
        const s = await qm.create("SecureSession");
        return s.Base64Encode("abc");
      });
      assert.deepEqual(made, { value: "YWJj" });
      const evil = await open("evil.example");
      const forged = await evil.evaluate(async (bankOrigin) => {
        await Quillmark.connect();
        const ask = (id, fields) => askExtension(id, fields)
          .then((reply) => (reply.ok ? "served" : reply.error.name));
        const results = [await ask(8001, { op: "create", class: "SecureSession", origin: bankOrigin,
          topOrigin: bankOrigin, client: 1 })];
        for (let handle = 1; handle <= 8; handle++) {
          results.push(await ask(8001 + handle, { op: "call", object: handle, method: "getKEYIV",
            args: [], origin: bankOrigin, client: 1 }));
        }
        return results;
      }, server.origin("bank.example"));
      assert.equal(forged[0], "NotAllowedError", "the browser's origin counts, not the page's");
      assert.deepEqual(forged.slice(1), Array(8).fill("InvalidStateError"),
        "another page's objects cannot be reached");
      await bank.close();
      await evil.close();
    });

  test("a second tab shares its site's session but not its objects; a second site has its own",
    async () => {
      const first = await open("bank.example");
      const second = await open("bank.example");
      const other = await open("other.example");
      const one = await inPage(first, async (qm, pem) => {
        const s = await qm.create("SecureSession");
        const sealed = await s.GenerateEx("SEED", pem);
        return { sealed, cipher: await s.EncipherEx("first tab") };
      }, store.serverPem);
      const two = await inPage(second, async (qm, cipher) => {
        const s = await qm.create("SecureSession");
        return { keyIv: await s.getKEYIV(), plain: await s.DecipherEx(cipher) };
      }, one.value.cipher);
      assert.deepEqual(two.value, { keyIv: one.value.sealed, plain: "first tab" });
      const three = await inPage(other, async (qm, cipher) => {
        const s = await qm.create("SecureSession");
        const keyIv = await s.getKEYIV();
        const plain = await s.DecipherEx(cipher);
        const enciphered = await s.EncipherEx("other site");
        return { keyIv, plain, enciphered, code: await s.GetErrorCode() };
      }, one.value.cipher);
      assert.deepEqual(three.value, { keyIv: "", plain: null, enciphered: null, code: 11 });
      await Promise.all([first.close(), second.close(), other.close()]);
    });
});

describe("an unlisted site", () => {
  before(() => clearSettings());

  test("asks the user: 거부 refuses, 이번만 허용 serves once", async () => {
    const evil = await open("evil.example");
    const call = async (qm) => (await qm.create("SecureSession")).Base64Encode("abc");
    const [denied, deniedDialog] = await Promise.all([inPage(evil, call), answerConsent("deny")]);
    assert.equal(denied.error, "NotAllowedError", JSON.stringify(denied));
    assert.equal(deniedDialog?.origin, server.origin("evil.example"), deniedDialog?.output);
    // The answer holds for the browser's session: no second question, refused at once.
    const again = await inPage(evil, async (qm) => qm.create("SecureSession").then(() => "made"));
    assert.equal(again.error, "NotAllowedError");

    const other = await open("other.example");
    const [served, servedDialog] = await Promise.all([inPage(other, call), answerConsent("once")]);
    assert.deepEqual(served, { value: "YWJj" });
    assert.equal(servedDialog?.origin, server.origin("other.example"));
    await Promise.all([evil.close(), other.close()]);
    console.log(`transcript: ${deniedDialog.output} -> ${denied.error}: ${denied.message}`);
    console.log(`transcript: ${servedDialog.output} -> ${JSON.stringify(served)}`);
  });
});

describe("the connection", () => {
  before(() => writeSettings({ SiteLock: 1, AllowedSites: [server.origin("bank.example")] }));

  test("a host that ends rejects pending calls, and connect() works again", async () => {
    const tab = await open("bank.example");
    await tab.evaluate(async () => {
      window.qm = await Quillmark.connect();
      window.session = await window.qm.create("SecureSession");
      // A call that waits for the user: a certificate selection dialog comes up in the host.
      window.pending = window.session.GenerateEx("SEED", "").then((v) => ({ value: v }),
        (e) => ({ error: e.name, message: e.message }));
    });
    await new Promise((resolve) => setTimeout(resolve, 1500));
    const pid = Number(fs.readFileSync(path.join(work, "host.pid"), "utf8"));
    process.kill(pid, "SIGKILL");
    const lost = await tab.evaluate(() => window.pending);
    assert.equal(lost.error, "NetworkError", JSON.stringify(lost));
    const stale = await tab.evaluate(() => window.session.Base64Encode("abc").then(
      (v) => v, (e) => e.name));
    assert.equal(stale, "NetworkError", "the old objects went with the host");
    assert.deepEqual(await inPage(tab, async (qm) => (await qm.create("SecureSession"))
      .Base64Encode("abc")), { value: "YWJj" });
    await tab.close();
  });

  test("without the extension, connect() rejects with a clear error", async () => {
    const bare = await launch({ extension: false });
    try {
      const tab = await bare.newPage();
      await tab.goto(server.url("bank.example", "/"));
      const started = Date.now();
      const seen = await inPage(tab, async () => "connected");
      assert.equal(seen.error, "NotFoundError");
      assert.match(seen.message, /extension is not installed/);
      assert.ok(Date.now() - started < 5000);
    } finally {
      await bare.close();
    }
  });
});

describe("the host, spoken to directly", () => {
  before(() => writeSettings({ SiteLock: 1, AllowedSites: ["https://bank.example"] }));

  test("bad input gets a clear error and the host stays up", async () => {
    const host = new HostProcess(wrapper);
    try {
      const page = { client: 1, origin: "https://bank.example", topOrigin: "https://bank.example" };
      assert.equal((await host.request({ id: 1, op: "hello" })).ok, true);
      // A length past the limit: refused by its id, without reading it into memory.
      const tooLong = await host.raw(Buffer.concat([
        Buffer.from('{"id":2,"op":"call","args":["'), Buffer.alloc(9 * 1024 * 1024, 0x61),
        Buffer.from('"]}')]));
      assert.equal(tooLong.id, 2);
      assert.equal(tooLong.error.name, "QuotaExceededError");
      assert.equal((await host.raw(Buffer.from("{not json"))).error.name, "SyntaxError");
      assert.equal((await host.raw(Buffer.from([0xff, 0xfe, 0x00]))).error.name, "SyntaxError");
      assert.equal((await host.request({ id: 3, op: "format" })).error.name, "NotSupportedError");
      const noOrigin = await host.request({ id: 4, op: "create", client: 1, class: "Veyra" });
      assert.equal(noOrigin.error.name, "DataError");
      assert.match(noOrigin.error.message, /origin/);
      const made = await host.request({ id: 5, op: "create", ...page, class: "Veyra" });
      assert.equal(made.ok, true, JSON.stringify(made));
      assert.deepEqual(made.methods,
        ["GetErrorCode", "GetErrorString", "GetCertNum", "getDNList", "getCert"]);
      const call = (id, method, args, who = page) =>
        host.request({ id, op: "call", ...who, object: made.object, method, args });
      assert.equal((await call(6, "Frobnicate", [])).error.name, "NotSupportedError");
      assert.equal((await call(7, "Release", [])).error.name, "NotSupportedError",
        "the interface's inherited methods are no page's business");
      assert.equal((await call(8, "getDNList", ["", "zero", 0])).error.name, "TypeError");
      assert.equal((await call(9, "getDNList", [""])).error.name, "TypeError");
      assert.equal((await call(10, "getDNList", [[], 0, 0])).error.name, "TypeError");
      const stranger = { ...page, origin: "https://evil.example", topOrigin: "https://evil.example" };
      assert.equal((await call(11, "GetErrorCode", [], stranger)).error.name, "InvalidStateError");
      assert.equal((await call(12, "GetErrorCode", [], { ...page, client: 2 })).error.name,
        "InvalidStateError");
      const refused = await host.request({ id: 13, op: "create", ...stranger, class: "Veyra" });
      assert.equal(refused.error.name, "NotAllowedError");
      assert.deepEqual(await call(14, "getdnlist", ["", 9, 0]), { id: 14, ok: true, result: null },
        "names are found as automation finds them; medium 9 fails as the control fails");
      assert.deepEqual(await call(15, "GetErrorCode", []), { id: 15, ok: true, result: 18 });
      assert.equal((await host.request({ id: 16, op: "hello" })).ok, true, "the host is still up");
      assert.deepEqual(await host.request({ id: 17, op: "drop", client: 1 }), { id: 17, ok: true });
      assert.equal((await call(18, "GetErrorCode", [])).error.name, "InvalidStateError");
    } finally {
      await host.close();
    }
  });
});
