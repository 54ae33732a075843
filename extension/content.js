// Relay between the page API (page_api.js, in the page's own world) and the
// service worker. The page can post anything to its window, so only the two
// documented forms from this very window pass, and nothing the page sends can
// name an address or answer a question:
//   { vexa: 'call', object: <n>, id: <n>, method: <one of the 29>, args: [<string|number|boolean|null>...] }
//   { vexa: 'close', object: <n> }
// Back to the page go (object = the key the page API chose):
//   { vexa: 'answer', object, id, result } | { vexa: 'answer', object, id, error }
//   { vexa: 'event', object, name, args } | { vexa: 'ready', object, version, startMs }
//   { vexa: 'gone', object, reason } | { vexa: 'gone', object, reason, missing: true }
// The last form says the host is not installed: from then on every call of
// this document is refused at once with that reason, each object told once,
// and no host is tried again until the document goes.
(() => {
  'use strict';

  // Chromium runs an extension's file once per frame, whatever the world, so
  // methods.js cannot serve this world as well as the page's: this copy is
  // held to it by a unit test, and the page cannot reach it.
  const METHODS = new Set([
    'EncodeRequest', 'DecodeRequest', 'ExecuteRequest', 'SearchCard', 'ReadLogFile', 'SetMode', 'GetMode',
    'GetReaderList', 'GetCardATR', 'ConnectCard', 'ConnectCardEx', 'DisConnectCard', 'DisConnectCardEx',
    'GetLastErrorCode', 'GetErrorText', 'SendToCard', 'SendIOCTL', 'BeginTransaction', 'EndTransaction',
    'EndTransactionEx', 'GetCardStatus', 'IsCardRemoved', 'GetVersion', 'Reset', 'Hex2Str', 'Str2Hex',
    'EnableEvents', 'DisableEvents', 'Open',
  ]);
  const ports = new Map(); // object key -> runtime port
  let missingHost = null; // the reason once the host proved not installed
  const toldMissing = new Set(); // object keys that have had it

  const isCount = (value) => Number.isSafeInteger(value) && value >= 0;
  const isArgument = (value) => value === null || ['string', 'number', 'boolean'].includes(typeof value);

  function hasExactly(data, keys) {
    const own = Object.keys(data);
    return own.length === keys.length && keys.every((key) => Object.prototype.hasOwnProperty.call(data, key));
  }

  function isCall(data) {
    return hasExactly(data, ['vexa', 'object', 'id', 'method', 'args']) && data.vexa === 'call' &&
      isCount(data.object) && isCount(data.id) && METHODS.has(data.method) &&
      Array.isArray(data.args) && data.args.every(isArgument);
  }

  function isClose(data) {
    return hasExactly(data, ['vexa', 'object']) && data.vexa === 'close' && isCount(data.object);
  }

  function toPage(message) {
    window.postMessage({ ...message.body, vexa: message.type, object: message.object }, '*');
  }

  function gone(object, reason) {
    if (!ports.delete(object)) return;
    toPage({ type: 'gone', object, body: { reason } });
  }

  // The host is not installed: the object is told once, its port (if any)
  // given up.
  function missing(object, reason) {
    missingHost ??= reason;
    const port = ports.get(object);
    ports.delete(object);
    try { port?.disconnect(); } catch { /* already closed */ }
    if (toldMissing.has(object)) return;
    toldMissing.add(object);
    toPage({ type: 'gone', object, body: { reason: missingHost, missing: true } });
  }

  // From the worker: { type: 'answer' | 'event' | 'ready' | 'gone', ... }.
  function fromWorker(object, port, message) {
    if (ports.get(object) !== port || message === null || typeof message !== 'object') return;
    const { type, ...body } = message;
    if (type === 'gone' && body.missing === true) missing(object, String(body.reason ?? ''));
    else if (type === 'gone') gone(object, String(body.reason ?? ''));
    else if (type === 'answer' || type === 'event' || type === 'ready') toPage({ type, object, body });
  }

  function portFor(object) {
    let port = ports.get(object);
    if (port) return port;
    port = chrome.runtime.connect({ name: 'vexa-control' });
    const current = port;
    port.onMessage.addListener((message) => fromWorker(object, current, message));
    port.onDisconnect.addListener(() => {
      if (ports.get(object) === current) gone(object, chrome.runtime.lastError?.message || 'the VEXA host ended');
    });
    ports.set(object, port);
    return port;
  }

  function call({ object, id, method, args }) {
    if (missingHost !== null) {
      // Told already: this call alone is refused; otherwise the telling
      // refuses it with the object's other pending calls.
      if (toldMissing.has(object)) toPage({ type: 'answer', object, body: { id, error: missingHost } });
      else missing(object, missingHost);
      return;
    }
    try {
      portFor(object).postMessage({ id, method, args });
    } catch (error) {
      // The worker went away under us; the page sees the host gone.
      const port = ports.get(object);
      gone(object, error.message);
      try { port?.disconnect(); } catch { /* already closed */ }
    }
  }

  function close(object) {
    const port = ports.get(object);
    if (!port) return;
    ports.delete(object);
    port.disconnect();
  }

  function fromPage(event) {
    if (event.source !== window) return;
    const data = event.data;
    if (data === null || typeof data !== 'object' || Array.isArray(data)) return;
    if (isCall(data)) call(data);
    else if (isClose(data)) close(data.object);
  }

  // document.open(), as a document.write into a loaded document (a popup
  // filled by its opener) calls it, drops every listener of the window. The
  // document and its observers stay: listen again when its root is replaced,
  // before any message posted meanwhile is delivered.
  const listen = () => window.addEventListener('message', fromPage);
  new MutationObserver(listen).observe(document, { childList: true });
  listen();
})();
