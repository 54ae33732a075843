// The page's view of VEXA. Every <object type="application/chipcard_plugin_20">
// gets the control's 29 methods, each returning a Promise of its result
// (a string or an integer); an argument list the host cannot take rejects
// with an Error carrying the host's English text.
//
// Events are dispatched on the element as CustomEvents:
//   OnCardReady, OnCardError, OnCardRemoved, OnReaderAdded, OnReaderRemoved,
//   OnCardInuse, OnCardUnused: detail = the event's argument array,
//     e.g. [readerName, atr, protocol, eventIdentifier] for OnCardReady;
//   "ready": detail = { version, startMs } once the element's host is up;
//   "disconnect": detail = { reason } when the host is gone; pending calls
//     reject and the next call starts a fresh control (Open it again).
//     With the reason "host not installed" it fires once per element: its
//     calls, pending and later, reject with an Error of just that text, and
//     none starts a host until the page reloads.
// element.attachEvent(name, fn) calls fn(...arguments) for the seven events,
// as older pages expect; detachEvent(name, fn) removes it.
//
// Each element has its own host process and state. This script runs in the
// page's world; content.js relays between it and the extension.
(() => {
  'use strict';

  const TYPE = 'application/chipcard_plugin_20';
  const SELECTOR = `object[type="${TYPE}" i]`;
  // methods.js ran just before us in this world; take the names now, while
  // no page script has run, and leave the page's window as it was. (The
  // content script checks every call against its own copy.)
  const { methods: METHODS, events, maxCallBytes: MAX_CALL_BYTES } = globalThis.VEXA_METHODS;
  const EVENTS = new Set(events);
  delete globalThis.VEXA_METHODS;

  // Taken before any page script runs, so a page that replaces them later
  // only breaks itself.
  const post = window.postMessage.bind(window);
  const dispatch = EventTarget.prototype.dispatchEvent;
  const toJson = JSON.stringify;
  const utf8 = new TextEncoder();
  const encode = TextEncoder.prototype.encode;

  const controls = new Map(); // key -> Control
  const ofElement = new WeakMap();
  let lastKey = 0;

  const isArgument = (value) => value === null || value === undefined || ['string', 'number', 'boolean'].includes(typeof value);
  const isText = (value) => typeof value !== 'string' || value.isWellFormed();

  // Why the host would refuse this call as a whole, or null. Said here, at
  // once, so that the page learns the reason from the call's own rejection.
  function refusal(id, method, args) {
    const bad = args.findIndex((value) => !isText(value));
    if (bad >= 0) return `argument ${bad + 1} of ${method} is not valid Unicode text (it holds a lone surrogate)`;
    // A character takes at most 6 bytes in JSON: only long calls are measured.
    if (args.reduce((sum, value) => sum + (typeof value === 'string' ? value.length : 0), 0) * 6 + 1024 < MAX_CALL_BYTES) return null;
    const bytes = encode.call(utf8, toJson({ id, method, args })).length;
    return bytes > MAX_CALL_BYTES ? `the call is longer than ${MAX_CALL_BYTES} bytes` : null;
  }

  class Control {
    constructor(element) {
      this.element = element;
      this.key = ++lastKey;
      this.lastId = 0;
      this.pending = new Map(); // id -> { resolve, reject }
      this.handlers = new Map(); // event name -> [fn]
      controls.set(this.key, this);
    }

    call(method, args) {
      return new Promise((resolve, reject) => {
        const bad = args.findIndex((value) => !isArgument(value));
        if (bad >= 0) {
          reject(new TypeError(`argument ${bad + 1} of ${method} must be a string or a number, not ${typeof args[bad]}`));
          return;
        }
        const id = ++this.lastId;
        const values = args.map((value) => value ?? null);
        const refused = refusal(id, method, values);
        if (refused) {
          reject(new Error(refused));
          return;
        }
        this.pending.set(id, { resolve, reject });
        post({ vexa: 'call', object: this.key, id, method, args: values }, '*');
      });
    }

    answered({ id, result, error }) {
      const call = this.pending.get(id);
      if (!call) return;
      this.pending.delete(id);
      if (typeof error === 'string') call.reject(new Error(error));
      else call.resolve(result);
    }

    // missing: the host is not installed, which the reason says alone.
    gone(reason, missing = false) {
      const calls = [...this.pending.values()];
      this.pending.clear();
      for (const call of calls) call.reject(new Error(missing ? reason : `the VEXA host is gone: ${reason}`));
      this.fire('disconnect', { reason });
    }

    // The element left the page: its control ends, as the plug-in did.
    close() {
      post({ vexa: 'close', object: this.key }, '*');
      this.gone('the object was removed from the page');
    }

    fire(name, detail) {
      dispatch.call(this.element, new CustomEvent(name, { detail }));
      if (!EVENTS.has(name)) return;
      for (const fn of [...(this.handlers.get(name) ?? [])]) {
        try {
          fn.apply(this.element, detail);
        } catch (error) {
          reportError(error);
        }
      }
    }

    attach(name, fn) {
      if (!EVENTS.has(name) || typeof fn !== 'function') return false;
      const list = this.handlers.get(name) ?? [];
      if (!list.includes(fn)) list.push(fn);
      this.handlers.set(name, list);
      return true;
    }

    detach(name, fn) {
      const list = this.handlers.get(name) ?? [];
      const index = list.indexOf(fn);
      if (index >= 0) list.splice(index, 1);
    }
  }

  function define(element, name, fn) {
    Object.defineProperty(element, name, { value: fn, configurable: true, writable: true, enumerable: false });
  }

  function isPluginObject(element) {
    return element instanceof HTMLObjectElement && String(element.getAttribute('type')).toLowerCase() === TYPE;
  }

  function adopt(element) {
    let control = ofElement.get(element);
    if (control) return control;
    control = new Control(element);
    ofElement.set(element, control);
    for (const method of METHODS) define(element, method, (...args) => control.call(method, args));
    define(element, 'attachEvent', (name, fn) => control.attach(String(name), fn));
    define(element, 'detachEvent', (name, fn) => control.detach(String(name), fn));
    return control;
  }

  // A page may reach an element before the observer below has seen it
  // (created and used in one script): the prototype adopts it on first use.
  for (const name of [...METHODS, 'attachEvent', 'detachEvent']) {
    Object.defineProperty(HTMLObjectElement.prototype, name, {
      configurable: true,
      enumerable: false,
      get() {
        if (!isPluginObject(this)) return undefined;
        adopt(this);
        return this[name];
      },
    });
  }

  function scan(node) {
    if (!(node instanceof Element)) return;
    if (node.matches(SELECTOR)) adopt(node);
    for (const element of node.querySelectorAll(SELECTOR)) adopt(element);
  }

  function dropRemoved(node) {
    if (!(node instanceof Element)) return;
    const elements = node.matches(SELECTOR) ? [node, ...node.querySelectorAll(SELECTOR)] : [...node.querySelectorAll(SELECTOR)];
    for (const element of elements) {
      const control = ofElement.get(element);
      if (control && !element.isConnected) control.close();
    }
  }

  new MutationObserver((records) => {
    for (const record of records) {
      if (record.type === 'attributes') scan(record.target);
      record.addedNodes.forEach(scan);
      record.removedNodes.forEach(dropRemoved);
    }
  }).observe(document, { childList: true, subtree: true, attributes: true, attributeFilter: ['type'] });
  if (document.documentElement) scan(document.documentElement);

  // From content.js; only messages it posts carry these forms. A page posting
  // the same forms only misleads itself.
  function fromRelay(event) {
    const data = event.data;
    if (event.source !== window || data === null || typeof data !== 'object') return;
    const control = controls.get(data.object);
    if (!control) return;
    if (data.vexa === 'answer') control.answered(data);
    else if (data.vexa === 'event' && EVENTS.has(data.name) && Array.isArray(data.args)) control.fire(data.name, data.args);
    else if (data.vexa === 'ready') control.fire('ready', { version: data.version, startMs: data.startMs });
    else if (data.vexa === 'gone') control.gone(String(data.reason), data.missing === true);
  }

  // document.open() drops the window's listeners (content.js says when).
  const listen = () => window.addEventListener('message', fromRelay);
  new MutationObserver(listen).observe(document, { childList: true });
  listen();
})();
