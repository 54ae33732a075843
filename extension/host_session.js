// One embedded object's control: the runtime port from the content script of
// the object's frame on one side, its own vexa-host process (a native port)
// on the other.

import './methods.js';
import { ask } from './question_box.js';

const HOST_NAME = 'de.meridan.vexa';
// What the page is told when no browser manifest names the host: it is not
// installed, and trying again before the page reloads cannot help.
const HOST_MISSING = 'host not installed';
// How the browsers say so: Chromium "Specified native messaging host not
// found.", Firefox "No such native application de.meridan.vexa".
const NOT_FOUND = [/^Specified native messaging host not found\.?$/, /^No such native application /];
const EVENTS = new Set(globalThis.VEXA_METHODS.events);

const isObject = (value) => value !== null && typeof value === 'object' && !Array.isArray(value);
const isCount = (value) => Number.isSafeInteger(value) && value >= 0;
// Calls made before the hello went out wait here, within these bounds.
const MAX_WAITING_CALLS = 64;
const MAX_WAITING_BYTES = 8 * 1024 * 1024;
const utf8 = new TextEncoder();

export class HostSession {
  // page: the runtime port; frame: { url, origin, tab } of the object's
  // frame, taken from the port's sender; browser: a promise of the browser's
  // name and version; release(session): ends this host's place in the limits.
  constructor(page, frame, browser, release) {
    this.page = page;
    this.tab = frame.tab;
    this.release = release;
    this.closed = false;
    // What the limits judge by: whether the page's Open answered 0, and
    // when the page or the host last said something.
    this.admitted = false;
    this.lastActive = performance.now();
    this.admissionCalls = new Map(); // id of an Open or Reset call -> its method
    this.waiting = [];        // calls made before the hello went out
    this.waitingBytes = 0;
    this.chunks = new Map();  // JSON of an id -> { of, parts }
    this.questions = new Set();
    this.started = performance.now();
    this.host = chrome.runtime.connectNative(HOST_NAME);
    this.host.onMessage.addListener((message) => this.fromHost(message));
    // Chromium names the reason in lastError, Firefox on the port.
    this.host.onDisconnect.addListener((port) => this.hostGone(port?.error?.message ?? chrome.runtime.lastError?.message));
    page.onMessage.addListener((message) => this.fromPage(message));
    page.onDisconnect.addListener(() => this.close());
    // The hello must be the host's first message; the calls wait for it.
    browser.then((name) => {
      if (this.closed) return;
      const hello = { url: frame.url };
      if (frame.origin !== undefined) hello.origin = frame.origin;
      hello.browser = name;
      this.toHost({ hello });
      const waiting = this.waiting;
      this.waiting = null;
      for (const call of waiting) this.send(call);
    });
  }

  // From the content script: { id, method, args }, already checked there.
  fromPage(message) {
    if (!isObject(message) || !isCount(message.id) || typeof message.method !== 'string' || !Array.isArray(message.args)) return;
    const call = { id: message.id, method: message.method, args: message.args };
    this.lastActive = performance.now();
    if (!this.waiting) {
      this.send(call);
      return;
    }
    const bytes = utf8.encode(JSON.stringify(call)).length;
    if (this.waiting.length >= MAX_WAITING_CALLS || this.waitingBytes + bytes > MAX_WAITING_BYTES) {
      this.toPage({ type: 'answer', id: call.id, error: 'too many calls are waiting for the VEXA host to start' });
      return;
    }
    this.waiting.push(call);
    this.waitingBytes += bytes;
  }

  send(call) {
    if (call.method === 'Open' || call.method === 'Reset') this.admissionCalls.set(call.id, call.method);
    this.toHost(call);
  }

  fromHost(message) {
    if (!isObject(message)) return;
    this.lastActive = performance.now();
    if ('chunk' in message) this.joinChunk(message);
    else if ('id' in message) this.answer(message);
    else if (isObject(message.ready)) this.toPage({ type: 'ready', version: String(message.ready.version ?? ''), startMs: performance.now() - this.started });
    else if (isObject(message.question)) this.askUser(message.question);
    else if (EVENTS.has(message.event) && Array.isArray(message.args)) this.toPage({ type: 'event', name: message.event, args: message.args });
  }

  answer(message) {
    if (!isCount(message.id)) {
      // The host refused something it could not tie to a call: no pending
      // call may be left waiting for it, so they all end with the host.
      this.end(`the VEXA host refused a call: ${String(message.error ?? 'no reason given')}`);
      return;
    }
    const method = this.admissionCalls.get(message.id);
    if (method !== undefined) {
      this.admissionCalls.delete(message.id);
      // Reset ends the admission whatever it answers.
      this.admitted = method === 'Open' ? this.admitted || message.result === 0 : false;
    }
    if ('error' in message) this.toPage({ type: 'answer', id: message.id, error: String(message.error) });
    else if ('result' in message) this.toPage({ type: 'answer', id: message.id, result: message.result });
  }

  // Whether the user sees this host's site question now (one waiting its
  // turn behind another does not count).
  get asking() {
    return [...this.questions].some((question) => question.shown());
  }

  // Answers over the browser's 1 MiB limit come as numbered parts of the
  // result string; they are joined here, in order.
  joinChunk({ id, chunk, of, part }) {
    const key = JSON.stringify(id);
    const joined = chunk === 0 ? { of, parts: [] } : this.chunks.get(key);
    const fits = joined && isCount(of) && of > 0 && joined.of === of && chunk === joined.parts.length && typeof part === 'string';
    if (!fits) {
      // A part out of order or of another shape: the answer is lost, say so once.
      if (this.chunks.delete(key) || chunk === 0) this.toPage({ type: 'answer', id, error: 'the host sent a broken chunked answer' });
      return;
    }
    joined.parts.push(part);
    if (joined.parts.length < of) {
      this.chunks.set(key, joined);
      return;
    }
    this.chunks.delete(key);
    this.toPage({ type: 'answer', id, result: joined.parts.join('') });
  }

  askUser({ caption, text }) {
    let dismiss = null;
    dismiss = ask(this.tab, String(caption ?? ''), String(text ?? ''), (answer) => {
      this.questions.delete(dismiss);
      this.toHost({ answer });
    });
    this.questions.add(dismiss);
  }

  hostGone(reason) {
    if (this.closed) return;
    if (NOT_FOUND.some((pattern) => pattern.test(reason ?? ''))) {
      this.toPage({ type: 'gone', reason: HOST_MISSING, missing: true });
      this.close();
      this.page.disconnect();
    } else {
      this.end(reason || 'the VEXA host ended');
    }
  }

  // Ends the host and tells the page why: its pending calls reject with it.
  end(reason) {
    if (this.closed) return;
    this.toPage({ type: 'gone', reason });
    this.close();
    this.page.disconnect();
  }

  // The page side is gone (or the host is): end the host, drop any question.
  close() {
    if (this.closed) return;
    this.closed = true;
    for (const dismiss of this.questions) dismiss();
    this.questions.clear();
    try {
      this.host.disconnect();
    } catch {
      // Already gone.
    }
    this.release(this);
  }

  toHost(message) {
    if (this.closed) return;
    try {
      this.host.postMessage(message);
    } catch (error) {
      this.hostGone(error.message);
    }
  }

  toPage(message) {
    try {
      this.page.postMessage(message);
    } catch {
      this.close();
    }
  }
}
