// Smoke test of the extension in Debian's firefox-esr with the real vexa-host.
// Playwright cannot drive firefox-esr, so the test speaks WebDriver BiDi to
// it directly: a temporary install of the extension from this tree, a page
// on 127.0.0.1 with one plug-in object, calls into that page. Skips (never
// fails) when there is no firefox-esr, no WebSocket in this Node.js, or the
// browser does not come up.

import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { EXTENSION, HOST, Site, tempDir, until } from './harness.js';

const FIREFOX = process.env.VEXA_FIREFOX ?? '/usr/bin/firefox-esr';
const GECKO_ID = 'vexa@meridan.example';
const SYSTEM_MANIFEST = '/usr/lib/mozilla/native-messaging-hosts/de.meridan.vexa.json';

// A quiet profile: no first-run pages, telemetry, updates or background
// traffic. Unsigned add-ons are allowed on ESR; the temporary install needs
// no signature anyway, the pref keeps a stale profile from refusing it.
const PREFS = {
  'xpinstall.signatures.required': false,
  'extensions.autoDisableScopes': 0,
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

function writeProfile(dir) {
  const lines = Object.entries(PREFS).map(([name, value]) => `user_pref(${JSON.stringify(name)}, ${JSON.stringify(value)});`);
  fs.writeFileSync(path.join(dir, 'user.js'), lines.join('\n') + '\n');
}

// Firefox looks for host manifests under $HOME/.mozilla; `vexa-host register`
// writes the one that admits our add-on id.
function registerHost(home) {
  execFileSync(HOST, ['register'], { env: { ...process.env, HOME: home }, stdio: 'pipe' });
  const file = path.join(home, '.mozilla', 'native-messaging-hosts', 'de.meridan.vexa.json');
  hostManifest = file;
  const manifest = JSON.parse(fs.readFileSync(file, 'utf8'));
  assert.deepEqual(manifest.allowed_extensions, [GECKO_ID]);
}

// Minimal BiDi client: commands by id, events ignored.
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
    socket.addEventListener('message', (event) => {
      const message = JSON.parse(event.data);
      const call = this.pending.get(message.id);
      if (!call) return;
      this.pending.delete(message.id);
      if (message.type === 'error') call.reject(new Error(`${message.error}: ${message.message}`));
      else call.resolve(message.result);
    });
    socket.addEventListener('close', () => {
      for (const call of this.pending.values()) call.reject(new Error('the BiDi connection closed'));
      this.pending.clear();
    });
  }

  send(method, params = {}) {
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
// which it prints on stderr once it listens.
function launch(profile, home) {
  const child = spawn(FIREFOX, ['--headless', '--no-remote', '--profile', profile, '--remote-debugging-port=0'], {
    // The hosts inherit this: what OK admits is stored in the throwaway home.
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, '.config'), MOZ_CRASHREPORTER_DISABLE: '1' },
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

let skip = null;
let hostManifest = null;
let firefox = null;
let bidi = null;
let site = null;
let context = null;
const dirs = [];

before(async () => {
  if (typeof WebSocket !== 'function') {
    skip = 'this Node.js has no WebSocket (start it with --experimental-websocket)';
    return;
  }
  if (!fs.existsSync(FIREFOX)) {
    skip = `no ${FIREFOX} (apt-get install firefox-esr)`;
    return;
  }
  const profile = tempDir('vexa-firefox-profile-');
  const home = tempDir('vexa-firefox-home-');
  dirs.push(profile, home);
  writeProfile(profile);
  registerHost(home);
  try {
    firefox = launch(profile, home);
    bidi = await Bidi.connect(`${await firefox.address}/session`);
    await bidi.send('session.new', { capabilities: {} });
  } catch (error) {
    skip = `firefox-esr did not start: ${error.message}`;
    return;
  }
  await bidi.send('webExtension.install', { extensionData: { type: 'path', path: EXTENSION } });
  site = await Site.start();
  context = (await bidi.send('browsingContext.getTree', {})).contexts[0].context;
});

after(async () => {
  bidi?.close();
  if (firefox && firefox.child.exitCode === null) {
    const ended = new Promise((resolve) => firefox.child.once('exit', resolve));
    firefox.child.kill('SIGTERM');
    await ended;
  }
  await site?.close();
  for (const dir of dirs) fs.rmSync(dir, { recursive: true, force: true });
});

async function evaluate(target, expression) {
  const reply = await bidi.send('script.evaluate', { expression, target: { context: target }, awaitPromise: false });
  if (reply.type !== 'success') throw new Error(`${expression} threw: ${reply.exceptionDetails?.text}`);
  return reply.result.value;
}

// The browsing context of the extension's question window, once it shows.
async function questionWindow() {
  let found = null;
  await until(async () => {
    const { contexts } = await bidi.send('browsingContext.getTree', {});
    found = contexts.find((entry) => entry.url.startsWith('moz-extension://') && entry.url.includes('/question.html'));
    return found !== undefined;
  }, 'the question window');
  return found.context;
}

// Calls method on the page's object; resolves with { result } or { error }.
async function call(method, args) {
  const reply = await bidi.send('script.callFunction', {
    functionDeclaration: `(method, args) => document.getElementById('card')[method](...JSON.parse(args))
      .then((result) => JSON.stringify({ result }), (error) => JSON.stringify({ error: error.message }))`,
    arguments: [{ type: 'string', value: method }, { type: 'string', value: JSON.stringify(args) }],
    target: { context },
    awaitPromise: true,
  });
  if (reply.type !== 'success') throw new Error(`${method} threw in the page: ${reply.exceptionDetails?.text}`);
  return JSON.parse(reply.result.value);
}

test('firefox-esr: the page object reaches vexa-host', async (t) => {
  if (skip) {
    t.skip(skip);
    return;
  }
  await bidi.send('browsingContext.navigate', { context, url: site.page('/firefox.html'), wait: 'complete' });
  assert.deepEqual(await call('GetVersion', [0]), { result: '2.0.0.2' });
  assert.deepEqual(await call('Hex2Str', ['41 42']), { result: 'AB' });
  // A call the host refuses comes back as the page's rejection, not a hang.
  const refused = await call('Hex2Str', []);
  assert.match(refused.error ?? '', /expects 1 argument/, JSON.stringify(refused));

  // Open asks in the extension's own window; OK there admits the page.
  const opened = call('Open', ['x']);
  const question = await questionWindow();
  // The window's context exists before its script has filled in the text.
  let text = '';
  await until(async () => {
    text = await evaluate(question, "document.getElementById('text')?.textContent ?? ''").catch(() => '');
    return text !== '';
  }, 'the question text');
  assert.equal(text, `Darf von ${site.origin} auf Chipkartenleser zugegriffen werden?`);
  // OK takes clicks only once the window has been shown for a moment.
  await until(() => evaluate(question, "document.getElementById('ok').disabled === false").catch(() => false), 'OK to be armed');
  await evaluate(question, "document.getElementById('ok').click()");
  assert.deepEqual(await opened, { result: 0 });
  assert.equal(typeof (await call('GetReaderList', [])).result, 'string');
});

test('firefox-esr: without the host manifest the page is told "host not installed" once', async (t) => {
  if (skip || fs.existsSync(SYSTEM_MANIFEST)) {
    t.skip(skip ?? `a system-wide ${SYSTEM_MANIFEST} answers`);
    return;
  }
  // Firefox reads the manifest at every start of a host.
  const aside = `${hostManifest}.aside`;
  fs.renameSync(hostManifest, aside);
  try {
    await bidi.send('browsingContext.navigate', { context, url: site.page('/firefox-missing.html'), wait: 'complete' });
    await evaluate(context, `window.reasons = [];
      document.getElementById('card').addEventListener('disconnect', (e) => window.reasons.push(e.detail.reason)); 0`);
    assert.deepEqual(await call('GetVersion', [0]), { error: 'host not installed' });
    assert.deepEqual(await call('GetVersion', [0]), { error: 'host not installed' });
    assert.equal(await evaluate(context, 'JSON.stringify(window.reasons)'), JSON.stringify(['host not installed']));
  } finally {
    fs.renameSync(aside, hostManifest);
  }
});
