// Quillmark's content script: it carries a page's requests to the extension's service worker and
// the answers back, and does nothing else. It reads no page content and changes none.
//
// It takes messages only from its own window (never from a frame, an opener or another tab),
// only in the page library's own namespace, and answers to its own origin only. What the page
// writes into a request is relayed as the page's wish; who the page is (its origin, its top page)
// the service worker learns from the browser, never from here.
"use strict";

(() => {
  const FROM_PAGE = "org.quillmark.page";
  const TO_PAGE = "org.quillmark.extension";
  const origin = window.location.origin;
  // A page without an origin of its own (a sandboxed frame) cannot be answered, nor served.
  if (origin === "null") {
    return;
  }

  let port = null;

  function answer(message) {
    window.postMessage(Object.assign({ channel: TO_PAGE }, message), origin);
  }

  function connected() {
    if (port === null) {
      port = chrome.runtime.connect({ name: "quillmark-page" });
      port.onMessage.addListener((message) => {
        if (message !== null && typeof message === "object") {
          answer(message);
        }
      });
      port.onDisconnect.addListener(() => {
        port = null;
        answer({
          type: "closed",
          message: "The connection to Quillmark was lost (the browser restarted the extension, or " +
            "the Quillmark program ended); connect again.",
        });
      });
    }
    return port;
  }

  window.addEventListener("message", (event) => {
    if (event.source !== window || event.origin !== origin) {
      return;
    }
    const message = event.data;
    if (message === null || typeof message !== "object" || message.channel !== FROM_PAGE ||
        typeof message.id !== "number") {
      return;
    }
    if (message.type === "connect") {
      answer({ type: "present", id: message.id });
    }
    if (message.type !== "connect" && message.type !== "request") {
      return;
    }
    const relayed = { type: message.type, id: message.id };
    for (const field of ["op", "class", "object", "method", "args"]) {
      if (field in message) {
        relayed[field] = message[field];
      }
    }
    try {
      connected().postMessage(relayed);
    } catch (error) {
      // The extension was updated or removed under the page: this script can reach it no more.
      answer({
        type: "reply", id: message.id, ok: false,
        error: { name: "NetworkError", message: "The Quillmark extension cannot be reached: " + error.message },
      });
    }
  });
})();
