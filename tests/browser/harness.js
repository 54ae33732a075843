// Shared set-up of the browser tests, the demo and the bench: Debian's
// Chromium with the extension loaded from the build tree, a throwaway
// profile with the host registered in it, a throwaway config home that the
// host processes inherit, and local HTTP servers for the test pages.

import { execFileSync } from 'node:child_process';
import { randomUUID } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const BUILD = process.env.VEXA_BUILD_DIR ?? path.join(ROOT, 'build');
// The extension as the build makes it: the source files with the version,
// the host's name and the page API's names filled in.
export const EXTENSION = path.join(BUILD, 'extension');
export const EXTENSION_ID = fs.readFileSync(path.join(ROOT, 'extension', 'extension_id.txt'), 'utf8').trim();
export const HOST = process.env.VEXA_HOST ?? path.join(BUILD, 'host', 'vexa-host');
export const CHROMIUM = process.env.VEXA_CHROMIUM ?? '/usr/bin/chromium';

// The native-messaging host the extension in folder connects to, which its
// manifests are named after.
export function hostName(folder = EXTENSION) {
  const script = fs.readFileSync(path.join(folder, 'host_session.js'), 'utf8');
  const name = /^const HOST_NAME = '([^']+)';$/m.exec(script);
  if (!name) throw new Error(`${folder}/host_session.js names no host`);
  return name[1];
}
export const PLUGIN = '<object id="card" type="application/chipcard_plugin_20" width="0" height="0"></object>';

// The test bed's pcscd has a socket of its own (testbed/start_testbed.sh);
// the browsers started here, and so the hosts, inherit its name.
if (process.env.VEXA_TESTBED_DIR && !process.env.PCSCLITE_CSOCK_NAME) {
  process.env.PCSCLITE_CSOCK_NAME = path.resolve(process.env.VEXA_TESTBED_DIR, 'run', 'pcscd', 'pcscd.comm');
}

export function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// A page that embeds `objects` (default: one object with id "card").
export function pageHtml(body = PLUGIN, title = 'VEXA test page') {
  return `<!doctype html><html><head><meta charset="utf-8"><title>${title}</title></head><body>${body}</body></html>`;
}

// The example page of the page API reference, as the reference shows it.
export function examplePage() {
  const reference = fs.readFileSync(path.join(ROOT, 'docs', 'page-api.md'), 'utf8');
  const example = /## Example\s+```html\n([\s\S]*?)```/.exec(reference);
  if (!example) throw new Error('docs/page-api.md has no example page');
  return example[1];
}

// One origin on 127.0.0.1 serving the pages it is given; unknown paths 404.
export class Site {
  static async start() {
    const site = new Site();
    await new Promise((resolve) => site.server.listen(0, '127.0.0.1', resolve));
    site.origin = `http://127.0.0.1:${site.server.address().port}`;
    return site;
  }

  constructor() {
    this.pages = new Map();
    this.server = http.createServer((request, response) => {
      const body = this.pages.get(new URL(request.url, 'http://x').pathname);
      response.writeHead(body === undefined ? 404 : 200, { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'no-store' });
      response.end(body ?? 'not found');
    });
  }

  // Serves html at pathname; returns its full address.
  page(pathname, html = pageHtml()) {
    this.pages.set(pathname, html);
    return this.url(pathname);
  }

  url(pathname) {
    return this.origin + pathname;
  }

  close() {
    this.server.closeAllConnections();
    return new Promise((resolve) => this.server.close(resolve));
  }
}

// Writes the Chromium host manifest into the profile, where Chromium looks
// first. `vexa-host register --user-data-dir` does the same when it can.
export function registerHost(profile) {
  try {
    execFileSync(HOST, ['register', '--user-data-dir', profile], { stdio: 'pipe' });
    if (fs.existsSync(path.join(profile, 'NativeMessagingHosts', `${hostName()}.json`))) return;
  } catch {
    // Fall through to writing the manifest here.
  }
  const dir = path.join(profile, 'NativeMessagingHosts');
  fs.mkdirSync(dir, { recursive: true });
  const manifest = {
    name: hostName(),
    description: 'VEXA chip-card access',
    path: HOST,
    type: 'stdio',
    allowed_origins: [`chrome-extension://${EXTENSION_ID}/`],
  };
  fs.writeFileSync(path.join(dir, `${hostName()}.json`), JSON.stringify(manifest, null, 2));
}

// A Chromium with the extension and a profile and config home of its own.
// The profile and home survive close() so a test can start the same browser
// again; remove() deletes them. With installed, the browser loads whatever
// its start script finds installed and the host comes from the system's
// manifest: nothing of this tree is passed to it.
export class Browser {
  constructor({ profile = tempDir('vexa-profile-'), home = tempDir('vexa-home-'), register = true, installed = false } = {}) {
    this.profile = profile;
    this.home = home;
    this.register = register && !installed;
    this.installed = installed;
    // Marks the host processes of this browser (they inherit the environment).
    this.tag = randomUUID();
    this.context = null;
  }

  get configHome() {
    return path.join(this.home, '.config');
  }

  // Names a protocol directory in the user's registry file, so the hosts
  // log there (at DEBUG) instead of in their working directory. Call before
  // start(); returns the directory.
  useProtocolDir(conf = null) {
    const dir = path.join(this.home, 'protocol');
    const registry = path.join(this.configHome, 'MERIDAN', 'VEXA');
    fs.mkdirSync(registry, { recursive: true });
    fs.mkdirSync(dir, { recursive: true });
    fs.writeFileSync(path.join(registry, 'registry.conf'), `ProtocolDir=${dir}\n`);
    if (conf !== null) fs.writeFileSync(path.join(dir, 'vexa_ie.conf'), conf);
    return dir;
  }

  async start() {
    if (this.register) registerHost(this.profile);
    fs.mkdirSync(this.configHome, { recursive: true });
    this.context = await chromium.launchPersistentContext(this.profile, {
      executablePath: CHROMIUM,
      headless: false,
      viewport: null,
      env: { ...process.env, HOME: this.home, XDG_CONFIG_HOME: this.configHome, VEXA_TEST_TAG: this.tag },
      // Playwright's own --disable-extensions would turn off the installed ones.
      ignoreDefaultArgs: this.installed ? ['--disable-extensions'] : [],
      args: [
        '--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        ...(this.installed ? [] : [`--disable-extensions-except=${EXTENSION}`, `--load-extension=${EXTENSION}`]),
      ],
    });
    // Installed, other extensions run beside ours: wait for the one whose id
    // the manifests admit.
    const ours = this.installed ? (url) => url.host === EXTENSION_ID && url.pathname === '/background.js' : () => true;
    try {
      this.worker = await this.serviceWorker(ours, 'the extension');
    } catch (error) {
      await this.close();
      throw error;
    }
    return this;
  }

  // The first service worker whose address passes test, once it runs.
  async serviceWorker(test, what) {
    const matches = (worker) => test(new URL(worker.url()));
    const running = this.context.serviceWorkers().find(matches);
    if (running) return running;
    try {
      return await this.context.waitForEvent('serviceworker', { predicate: matches, timeout: 30000 });
    } catch {
      const seen = this.context.serviceWorkers().map((worker) => worker.url());
      throw new Error(`${what} did not start its service worker; running: ${seen.join(' ') || 'none'}`);
    }
  }

  // Moves the worker's clock on by ms: what the extension holds back for a
  // while (a refused site's question) is over without the test waiting.
  advanceClock(ms) {
    return this.worker.evaluate((by) => {
      const now = Date.now;
      Date.now = () => now() + by;
    }, ms);
  }

  // The extension's id as Chromium shows it.
  get extensionId() {
    return new URL(this.worker.url()).host;
  }

  async open(url) {
    const page = await this.context.newPage();
    await page.goto(url);
    return page;
  }

  // Resolves with the question popup the next Open brings up.
  nextPopup() {
    return this.context.waitForEvent('page', { predicate: (page) => page.url().includes('/question.html'), timeout: 15000 });
  }

  // Process ids of this browser's running vexa-host processes.
  hostPids() {
    return hostProcesses(this.tag);
  }

  async close() {
    await this.context?.close();
    this.context = null;
  }

  async remove() {
    await this.close();
    fs.rmSync(this.profile, { recursive: true, force: true });
    fs.rmSync(this.home, { recursive: true, force: true });
  }
}

// Running processes whose environment carries VEXA_TEST_TAG=tag and whose
// program is the host.
export function hostProcesses(tag) {
  const pids = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const exe = fs.readlinkSync(`/proc/${entry}/exe`);
      if (path.basename(exe) !== path.basename(HOST) && !fs.readFileSync(`/proc/${entry}/cmdline`, 'utf8').includes(HOST)) continue;
      const environ = fs.readFileSync(`/proc/${entry}/environ`, 'utf8').split('\0');
      if (environ.includes(`VEXA_TEST_TAG=${tag}`)) pids.push(Number(entry));
    } catch {
      // Gone meanwhile, or not ours to read.
    }
  }
  return pids;
}

// Calls method on the element with this id in the page; resolves with
// { result } or { error } so a rejection can be looked at.
export function call(page, method, args = [], id = 'card') {
  return page.evaluate(
    ([elementId, name, list]) =>
      document.getElementById(elementId)[name](...list).then(
        (result) => ({ result }),
        (error) => ({ error: error.message, name: error.name }),
      ),
    [id, method, args],
  );
}

// Starts Open on the page and answers the question popup with the given
// button ('OK' or 'Abbrechen'); resolves with Open's result and the popup's
// caption and text.
export async function openWithAnswer(browser, page, button, id = 'card') {
  const popup = browser.nextPopup();
  const result = call(page, 'Open', ['test'], id);
  const question = await popup;
  await question.waitForSelector('#text:not(:empty)');
  const shown = { caption: await question.textContent('#caption'), text: await question.textContent('#text'), title: await question.title() };
  await answer(question, () => (button === 'OK' ? pressOk(question) : question.click(`text=${button}`)));
  return { ...(await result), ...shown };
}

// Clicks OK once it is armed. OK goes dead again whenever the window gets
// focus or becomes visible, which on a busy machine can happen after a wait
// for it to be enabled; checking and clicking in one task of the page leaves
// no gap for that.
export function pressOk(popup) {
  return popup.evaluate(async () => {
    const ok = document.getElementById('ok');
    while (ok.disabled) await new Promise((resolve) => setTimeout(resolve, 20));
    ok.click();
  });
}

// Calls the host would refuse as a whole, and the reason the page is given
// at once, in every browser.
export const REFUSED_CALLS = [
  [['Hex2Str', ['\uD800']], 'argument 1 of Hex2Str is not valid Unicode text (it holds a lone surrogate)'],
  [['SetMode', ['PREFERRED_READER', 'x\uDC00y']], 'argument 2 of SetMode is not valid Unicode text (it holds a lone surrogate)'],
  [['Str2Hex', ['x'.repeat(1 << 20)]], 'the call is longer than 1048576 bytes'],
  [['Str2Hex', ['\u0001'.repeat(200000)]], 'the call is longer than 1048576 bytes'],
];

// The text of the host's refusal of a call past the ones it holds.
export const TOO_MANY_WAITING = 'too many calls are waiting for the site question';

// Why the extension gives no host to an object past a tab's 16, and why it
// ends an idle, unadmitted host when another tab needs the place.
export const TOO_MANY_IN_TAB = 'too many VEXA objects in this tab';
export const MADE_ROOM = 'closed to make room for a VEXA object in another tab';
// What a call pending on a host that ended for reason rejects with.
export const goneError = (reason) => `the VEXA host is gone: ${reason}`;

// A page whose 16 objects each call GetVersion as it loads: the outcomes and
// the reasons of "disconnect" land in the window. touch() calls GetVersion
// again on each object whose host still runs, so none of them is idle.
export function greedyPage(frames = []) {
  const objects = Array.from({ length: 16 }, (_, i) => `<object id="o${i}" type="application/chipcard_plugin_20"></object>`).join('');
  const iframes = frames.map((url) => `<iframe src="${url}"></iframe>`).join('');
  return pageHtml(`${objects}${iframes}<script>
    window.reasons = [];
    const live = new Set();
    window.outcomes = Promise.all([...document.querySelectorAll('object')].map((element) => {
      element.addEventListener('disconnect', (event) => {
        live.delete(element);
        window.reasons.push(event.detail.reason);
      });
      return element.GetVersion(0).then((version) => live.add(element) && version, (error) => error.message);
    }));
    window.touch = () => Promise.all([...live].map((element) => element.GetVersion(0)));
  </script>`);
}

// A page with calls that stay pending on an unadmitted host, but no question
// on screen for it. ask(): the object "asker" calls Open, whose question the
// tab shows (window.asked: its outcome). hold(): the object "waiter" calls
// Open, whose question waits its turn behind that one, then calls on until
// the host refuses one; resolves with that refusal's text. window.held: the
// outcomes of Open and the calls the host holds behind it. window.reasons:
// [object id, reason] of each "disconnect".
export function waitingPage() {
  const objects = ['asker', 'waiter'].map((id) => `<object id="${id}" type="application/chipcard_plugin_20"></object>`).join('');
  return pageHtml(`${objects}<script>
    window.reasons = [];
    for (const element of document.querySelectorAll('object')) {
      element.addEventListener('disconnect', (event) => window.reasons.push([element.id, event.detail.reason]));
    }
    const outcome = (promise) => promise.then((result) => ({ result }), (error) => ({ error: error.message }));
    window.ask = () => { window.asked = outcome(document.getElementById('asker').Open('x')); };
    window.hold = () => {
      const waiter = document.getElementById('waiter');
      const open = outcome(waiter.Open('x'));
      const more = Array.from({ length: 100 }, () => outcome(waiter.GetLastErrorCode())); // more than the host holds
      window.held = Promise.all([open, ...more]);
      return Promise.race(more).then(({ error }) => error ?? 'a call was answered');
    };
  </script>`);
}

// While the site question is open the host holds the page's further calls,
// up to a bound, and refuses the ones past it at once: a refusal comes only
// from a host still waiting for the answer, after all the page sent before.
// Calls method(...args) on the object, then GetLastErrorCode until the host
// refuses one. Resolves with the refusal's text ("every call was answered"
// when none came) and a handle to { first, settled }: the first call's
// promise and whether it had settled before the refusal.
export async function crowdQuestion(page, [method, args] = ['GetLastErrorCode', []], id = 'card') {
  const crowd = await page.evaluateHandle(([elementId, name, list]) => {
    const object = document.getElementById(elementId);
    const state = { settled: false };
    state.first = object[name](...list).finally(() => { state.settled = true; });
    state.first.catch(() => {});
    const more = Array.from({ length: 100 }, () => object.GetLastErrorCode()); // more than the host holds
    state.refusal = Promise.any(more.map((call) => call.then(() => Promise.reject(new Error('answered')), (error) => error.message)))
      .catch(() => 'every call was answered');
    return state;
  }, [id, method, args]);
  return { refusal: await crowd.evaluate((state) => state.refusal), crowd };
}

// Runs the action that answers a question popup (a click, a key) and waits
// for the window to close. The extension closes it as soon as the answer is
// in, which may cut the action's own wait short; that is not a failure.
export async function answer(popup, action) {
  const closed = popup.waitForEvent('close', { timeout: 10000 });
  await action().catch(() => {});
  await closed;
}

// Waits until fn() is true (polling), up to a generous bound.
export async function until(fn, what, ms = 10000) {
  const end = Date.now() + ms;
  while (!(await fn())) {
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}
