// Debian's firefox-esr driven over WebDriver BiDi, which Playwright cannot
// do for it: a fresh profile, the browser on it, calls into a page and the
// extension's question window. Shared by the tests of a build and of the
// installed packages.

import { spawn } from 'node:child_process';
import { randomUUID } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { hostProcesses, until } from './harness.js';

export const FIREFOX = process.env.VEXA_FIREFOX ?? '/usr/bin/firefox-esr';
export const GECKO_ID = 'vexa@meridan.example';

// A quiet profile: no first-run pages, telemetry, updates or background
// traffic. Nothing here touches how add-ons are admitted.
const QUIET_PREFS = {
  'extensions.update.enabled': false,
  'extensions.getAddons.cache.enabled': false,
  'browser.shell.checkDefaultBrowser': false,
  'browser.startup.page': 0,
  'browser.startup.homepage_override.mstone': 'ignore',
  'browser.aboutwelcome.enabled': false,
  'browser.newtabpage.enabled': false,
  'startup.homepage_welcome_url': 'about:blank',
  'datareporting.policy.dataSubmissionEnabled': false,
  'datareporting.healthreport.uploadEnabled': false,
  'toolkit.telemetry.enabled': false,
  'toolkit.telemetry.reportingpolicy.firstRun': false,
  'app.update.disabledForTesting': true,
  'app.update.auto': false,
  'browser.safebrowsing.malware.enabled': false,
  'browser.safebrowsing.phishing.enabled': false,
  'browser.safebrowsing.downloads.enabled': false,
  'network.captive-portal-service.enabled': false,
  'network.connectivity-service.enabled': false,
  'network.dns.disablePrefetch': true,
  'network.prefetch-next': false,
  'browser.search.update': false,
  'services.settings.server': 'data:,#remote-settings-dummy/v1',
};

function writeProfile(dir, prefs) {
  const lines = Object.entries({ ...QUIET_PREFS, ...prefs }).map(([name, value]) => `user_pref(${JSON.stringify(name)}, ${JSON.stringify(value)});`);
  fs.writeFileSync(path.join(dir, 'user.js'), lines.join('\n') + '\n');
}

// Minimal BiDi client: commands by id, events ignored. Node.js 20's WebSocket
// garbles every frame after the 4,096th that its process sends (its pool of
// mask bytes runs out), and firefox-esr then drops the connection: a test
// that polls hard can get there. Commands after the close fail at once.
class Bidi {
  static connect(url) {
    return new Promise((resolve, reject) => {
      const socket = new WebSocket(url);
      socket.addEventListener('open', () => resolve(new Bidi(socket)), { once: true });
      socket.addEventListener('error', () => reject(new Error(`cannot connect to ${url}`)), { once: true });
    });
  }

  constructor(socket) {
    this.socket = socket;
    this.lastId = 0;
    this.pending = new Map();
    this.closed = null; // why no command can be sent any more
    socket.addEventListener('message', (event) => {
      const message = JSON.parse(event.data);
      const call = this.pending.get(message.id);
      if (!call) return;
      this.pending.delete(message.id);
      if (message.type === 'error') call.reject(new Error(`${message.error}: ${message.message}`));
      else call.resolve(message.result);
    });
    socket.addEventListener('close', (event) => {
      this.closed = `the BiDi connection closed (code ${event.code}) after ${this.lastId} commands`;
      for (const call of this.pending.values()) call.reject(new Error(this.closed));
      this.pending.clear();
    });
  }

  send(method, params = {}) {
    if (this.closed) return Promise.reject(new Error(`${method}: ${this.closed}`));
    const id = ++this.lastId;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject });
      this.socket.send(JSON.stringify({ id, method, params }));
    });
  }

  close() {
    this.socket.close();
  }
}

// Starts firefox-esr on a fresh profile and resolves with its BiDi address,
// which it prints on stderr once it listens. The hosts it starts inherit tag
// in VEXA_TEST_TAG.
function launch(profile, home, tag) {
  const child = spawn(FIREFOX, ['--headless', '--no-remote', '--profile', profile, '--remote-debugging-port=0'], {
    // The hosts inherit this: what OK admits is stored in the throwaway home.
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, '.config'), MOZ_CRASHREPORTER_DISABLE: '1', VEXA_TEST_TAG: tag },
    stdio: ['ignore', 'ignore', 'pipe'],
  });
  const address = new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error(`no BiDi address within 60 s; stderr: ${text.slice(-500)}`)), 60000);
    child.stderr.on('data', (chunk) => {
      text += chunk;
      const match = /WebDriver BiDi listening on (ws:\/\/\S+)/.exec(text);
      if (match) {
        clearTimeout(timer);
        resolve(match[1]);
      }
    });
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`firefox-esr ended with ${code}; stderr: ${text.slice(-500)}`));
    });
  });
  return { child, address };
}

// Why the Firefox tests cannot run here, or null when they can.
export function firefoxMissing() {
  if (typeof WebSocket !== 'function') return 'this Node.js has no WebSocket (start it with --experimental-websocket)';
  if (!fs.existsSync(FIREFOX)) return `no ${FIREFOX} (apt-get install firefox-esr)`;
  return null;
}

// One firefox-esr on the given profile and home (both fresh folders) with
// prefs on top of the quiet ones, and its first tab.
export class Firefox {
  static async start(profile, home, prefs = {}) {
    writeProfile(profile, prefs);
    const tag = randomUUID();
    const firefox = new Firefox(launch(profile, home, tag), tag);
    try {
      firefox.bidi = await Bidi.connect(`${await firefox.process.address}/session`);
      await firefox.bidi.send('session.new', { capabilities: {} });
      firefox.context = (await firefox.bidi.send('browsingContext.getTree', {})).contexts[0].context;
    } catch (error) {
      await firefox.close();
      throw error;
    }
    return firefox;
  }

  constructor(process, tag) {
    this.process = process;
    this.tag = tag;
    this.bidi = null;
    this.context = null;
  }

  async close() {
    this.bidi?.close();
    const { child } = this.process;
    if (child.exitCode === null && child.signalCode === null) {
      const ended = new Promise((resolve) => child.once('exit', resolve));
      child.kill('SIGTERM');
      // One whose BiDi connection broke may never finish quitting; it must
      // not outlive the tests with the hosts it started.
      const stuck = setTimeout(() => child.kill('SIGKILL'), 20000);
      await ended;
      clearTimeout(stuck);
    }
  }

  navigate(url, context = this.context) {
    return this.bidi.send('browsingContext.navigate', { context, url, wait: 'complete' });
  }

  // A new tab showing url, once loaded with its frames; resolves with its
  // context. It opens beside the first tab: a question window may have the
  // focus, and closes with whatever tabs it holds.
  async openTab(url) {
    const { context } = await this.bidi.send('browsingContext.create', { type: 'tab', referenceContext: this.context });
    await this.navigate(url, context);
    return context;
  }

  closeTab(context) {
    return this.bidi.send('browsingContext.close', { context });
  }

  // The contexts of a tab's documents: its own and its frames', at any depth.
  async frames(context) {
    const { contexts } = await this.bidi.send('browsingContext.getTree', { root: context });
    const all = [];
    const walk = (entry) => {
      all.push(entry.context);
      for (const child of entry.children ?? []) walk(child);
    };
    contexts.forEach(walk);
    return all;
  }

  // Process ids of the vexa-host processes this browser runs.
  hostPids() {
    return hostProcesses(this.tag);
  }

  // The value of expression in a context; with awaitPromise, of the promise it gives.
  async evaluate(target, expression, awaitPromise = false) {
    const reply = await this.bidi.send('script.evaluate', { expression, target: { context: target }, awaitPromise });
    if (reply.type !== 'success') throw new Error(`${expression} threw: ${reply.exceptionDetails?.text}`);
    return reply.result.value;
  }

  // Calls method on the object of this id in the page of a tab (default: the
  // first); resolves with { result } or { error }.
  async call(method, args, context = this.context, id = 'card') {
    const reply = await this.bidi.send('script.callFunction', {
      functionDeclaration: `(id, method, args) => document.getElementById(id)[method](...JSON.parse(args))
        .then((result) => JSON.stringify({ result }), (error) => JSON.stringify({ error: error.message }))`,
      arguments: [id, method, JSON.stringify(args)].map((value) => ({ type: 'string', value })),
      target: { context },
      awaitPromise: true,
    });
    if (reply.type !== 'success') throw new Error(`${method} threw in the page: ${reply.exceptionDetails?.text}`);
    return JSON.parse(reply.result.value);
  }

  // The browsing context of the extension's page file (a window or a tab),
  // once it shows.
  async extensionPage(file) {
    let found = null;
    await until(async () => {
      const { contexts } = await this.bidi.send('browsingContext.getTree', {});
      found = contexts.find((entry) => entry.url.startsWith('moz-extension://') && entry.url.includes(`/${file}`));
      return found !== undefined;
    }, `the extension's ${file}`);
    return found.context;
  }

  // The browsing context of the extension's question window, once it shows.
  questionWindow() {
    return this.extensionPage('question.html');
  }

  // Clicks the element with this id in a context with the mouse, as the
  // user would: some extension calls take only a real user's input.
  async click(target, id) {
    const box = JSON.parse(await this.evaluate(target, `JSON.stringify(document.getElementById(${JSON.stringify(id)}).getBoundingClientRect())`));
    const [x, y] = [Math.round(box.x + box.width / 2), Math.round(box.y + box.height / 2)];
    await this.bidi.send('input.performActions', {
      context: target,
      actions: [{
        type: 'pointer',
        id: 'mouse',
        actions: [{ type: 'pointerMove', x, y }, { type: 'pointerDown', button: 0 }, { type: 'pointerUp', button: 0 }],
      }],
    });
  }

  // Calls Open on the page of a tab (default: the first) and answers the
  // question with the button of this id ('ok' or 'cancel'); resolves with
  // Open's outcome and the question's text.
  async openWith(button, context = this.context) {
    const opened = this.call('Open', ['x'], context);
    const text = await this.answerQuestion(button);
    return { ...(await opened), text };
  }

  // Answers the question window on screen with the button of this id;
  // resolves with the question's text.
  async answerQuestion(button) {
    const question = await this.questionWindow();
    // The window's context exists before its script has filled in the text.
    let text = '';
    await until(async () => {
      text = await this.evaluate(question, "document.getElementById('text')?.textContent ?? ''").catch(() => '');
      return text !== '';
    }, 'the question text');
    // OK takes clicks only once the window has been shown for a moment, and
    // goes dead again when the window gets focus: check and click in one
    // task of the page, so nothing comes between them.
    const press = `(() => { const b = document.getElementById('${button}'); if (b.disabled) return false; b.click(); return true; })()`;
    await until(() => this.evaluate(question, press).catch(() => false), 'the button to be armed');
    return text;
  }

  openWithOk() {
    return this.openWith('ok');
  }
}
