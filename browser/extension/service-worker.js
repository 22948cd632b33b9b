// Quillmark's service worker: the one place where pages meet the native host.
//
// Each page (each document with the content script, a frame included) connects a port of its
// own. The worker names the page by a number of its own (the client) and by the origins that the
// browser reports for the port: the document's origin (sender.origin) and its top-level page's
// origin (the tab's address, for a frame). It builds every request to the host from those and
// from the few fields a request may carry; nothing the page writes can name another origin,
// another page or another page's objects.
//
// One native port serves every page, so the host's memory of the user's answers (a denied site
// stays denied) lasts as long as the browser keeps the worker. When the host ends, every page's
// pending calls fail and its port is closed, so that the page knows that its objects are gone;
// its next connect() starts the host again.
"use strict";

const HOST = "org.quillmark.host";
const OPERATIONS = new Set(["create", "call", "release"]);
// What the host reads of one request; a longer one is refused here, before it is sent.
const MAX_REQUEST_BYTES = 8 * 1024 * 1024;

let native = null;       // { port, ready: Promise<hello reply> }
let nextId = 1;          // the host's request ids
let nextClient = 1;      // the pages' numbers
const waiting = new Map(); // host request id -> { page, pageId } | { hello: {resolve, reject} }
const pages = new Set();

function originOf(address) {
  try {
    const origin = new URL(address).origin;
    return origin === "null" ? "" : origin;
  } catch {
    return "";
  }
}

function failure(name, message) {
  return { name, message };
}

function lastErrorText(port) {
  const error = (port && port.error) || (typeof chrome !== "undefined" && chrome.runtime.lastError);
  return error && error.message ? error.message : "it ended";
}

function hostLost(port) {
  if (native === null || native.port !== port) {
    return;
  }
  native = null;
  const reason = lastErrorText(port);
  for (const [id, entry] of waiting) {
    waiting.delete(id);
    if (entry.hello) {
      entry.hello.reject(failure("NotFoundError",
        "The Quillmark program could not be started (is it installed?): " + reason));
    } else {
      reply(entry.page, { id: entry.pageId, ok: false,
        error: failure("NetworkError", "The Quillmark program ended: " + reason) });
    }
  }
  // Their objects went with the host: each page learns it and connects again.
  for (const page of pages) {
    page.port.disconnect();
    pages.delete(page);
  }
}

function fromHost(message) {
  if (message === null || typeof message !== "object" || !waiting.has(message.id)) {
    return;
  }
  const entry = waiting.get(message.id);
  waiting.delete(message.id);
  if (entry.hello) {
    if (message.ok) {
      entry.hello.resolve(message);
    } else {
      entry.hello.reject(message.error || failure("OperationError", "the host is not ready"));
    }
    return;
  }
  const answer = { id: entry.pageId, ok: message.ok === true };
  for (const field of ["result", "object", "methods", "error"]) {
    if (field in message) {
      answer[field] = message[field];
    }
  }
  reply(entry.page, answer);
}

// The host, started on first use; its hello reply.
function host() {
  if (native === null) {
    const port = chrome.runtime.connectNative(HOST);
    const ready = new Promise((resolve, reject) => {
      const id = nextId++;
      waiting.set(id, { hello: { resolve, reject } });
      port.postMessage({ id, op: "hello" });
    });
    native = { port, ready };
    port.onMessage.addListener(fromHost);
    port.onDisconnect.addListener(() => hostLost(port));
    ready.catch(() => {});
  }
  return native;
}

function reply(page, message) {
  if (pages.has(page)) {
    page.port.postMessage(Object.assign({ type: "reply" }, message));
  }
}

function toHost(page, id, request) {
  const entry = host();
  const hostId = nextId++;
  const message = Object.assign({ id: hostId }, request);
  const size = JSON.stringify(message).length;
  if (size > MAX_REQUEST_BYTES) {
    reply(page, { id, ok: false, error: failure("QuotaExceededError",
      "the request is " + size + " characters long; Quillmark takes at most " + MAX_REQUEST_BYTES) });
    return;
  }
  entry.ready.then(() => {
    if (native !== entry) {
      reply(page, { id, ok: false, error: failure("NetworkError", "The Quillmark program ended") });
      return;
    }
    waiting.set(hostId, { page, pageId: id });
    entry.port.postMessage(message);
  }, (error) => reply(page, { id, ok: false, error }));
}

function fromPage(page, message) {
  if (message === null || typeof message !== "object" || typeof message.id !== "number") {
    return;
  }
  const id = message.id;
  if (message.type === "connect") {
    host().ready.then(
      (hello) => reply(page, { id, ok: true, result: { version: hello.version } }),
      (error) => reply(page, { id, ok: false, error }));
    return;
  }
  if (message.type !== "request" || !OPERATIONS.has(message.op)) {
    reply(page, { id, ok: false, error: failure("NotSupportedError", "no such operation") });
    return;
  }
  const request = {
    op: message.op, client: page.client, origin: page.origin, topOrigin: page.topOrigin,
  };
  if (message.op === "create") {
    request.class = String(message.class);
  } else {
    request.object = message.object;
    if (message.op === "call") {
      request.method = String(message.method);
      request.args = Array.isArray(message.args) ? message.args : [];
    }
  }
  toHost(page, id, request);
}

chrome.runtime.onConnect.addListener((port) => {
  const sender = port.sender;
  if (port.name !== "quillmark-page" || !sender || sender.id !== chrome.runtime.id) {
    port.disconnect();
    return;
  }
  // The browser's word for the document and for its top-level page. A frame's top page is its
  // tab's page; where the browser does not say, the request names no top page and is refused.
  const origin = sender.origin || originOf(sender.url);
  const topOrigin = sender.frameId === 0 ? origin : originOf(sender.tab && sender.tab.url);
  const page = { port, client: nextClient++, origin, topOrigin };
  pages.add(page);
  port.onMessage.addListener((message) => fromPage(page, message));
  port.onDisconnect.addListener(() => {
    pages.delete(page);
    for (const [hostId, entry] of waiting) {
      if (entry.page === page) {
        waiting.delete(hostId);
      }
    }
    if (native !== null) {
      const entry = native;
      entry.ready.then(() => entry.port.postMessage({ id: nextId++, op: "drop", client: page.client }),
        () => {});
    }
  });
});
