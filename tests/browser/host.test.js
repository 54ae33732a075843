// The page API against the real host: its surface, argument errors, long
// results, and a host that dies.

import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import vm from 'node:vm';
import { BUILD, Browser, EXTENSION, EXTENSION_ID, Site, call, examplePage, hostName, openWithAnswer, until } from './harness.js';

// The extension's own list (the build writes the host's table into it),
// copied out of its context so that arrays compare equal.
const METHODS = [...vm.runInNewContext(`${fs.readFileSync(path.join(EXTENSION, 'methods.js'), 'utf8')}\nVEXA_METHODS.methods`)];

let site;
let browser;
let protocolDir;

before(async () => {
  site = await Site.start();
  browser = new Browser();
  // LOGLEVEL=OFF keeps every host but the one that switches its log on out
  // of the log file.
  protocolDir = browser.useProtocolDir('LOGLEVEL=OFF\n');
  await browser.start();
});

after(async () => {
  await browser?.remove();
  await site?.close();
});

// The same calls through `vexa shell` in the same config home: the reference
// for what the host answers.
function shellAnswers(calls) {
  const input = calls.map(([method, args], id) => JSON.stringify({ id, method, args })).join('\n') + '\n';
  const output = execFileSync(path.join(BUILD, 'tools', 'vexa'), ['shell', '--url', site.url('/methods/index.html'), '--answer', 'yes'], {
    input,
    cwd: browser.home,
    env: { ...process.env, HOME: browser.home, XDG_CONFIG_HOME: browser.configHome },
    maxBuffer: 64 << 20,
  });
  return output.toString('utf8').trim().split('\n').map((line) => JSON.parse(line));
}

test('the extension has the fixed id and its icons, and every object gets the 29 methods', async () => {
  assert.equal(browser.extensionId, EXTENSION_ID);
  // Each icon the manifest names is a picture of its size, as the browser reads it.
  const icons = await browser.worker.evaluate(() => Promise.all(Object.entries(chrome.runtime.getManifest().icons ?? {}).map(
    async ([size, file]) => {
      const picture = await createImageBitmap(await (await fetch(file)).blob());
      return [Number(size), picture.width, picture.height];
    })));
  assert.deepEqual(icons, [16, 32, 48, 128].map((size) => [size, size, size]));
  const page = await browser.open(site.page('/surface/index.html'));
  const names = await page.evaluate((list) => list.filter((name) => typeof document.getElementById('card')[name] === 'function'), METHODS);
  assert.deepEqual(names, METHODS);
  const ready = page.evaluate(() => new Promise((resolve) => document.getElementById('card').addEventListener('ready', (e) => resolve(e.detail))));
  assert.deepEqual(await call(page, 'GetVersion', [0]), { result: '2.0.0.2' });
  const detail = await ready;
  assert.equal(detail.version, '2.0.0.2');
  assert.equal(typeof detail.startMs, 'number');
  await page.close();
});

test('calls the host cannot take reject with its text; values it cannot carry reject at once', async () => {
  const page = await browser.open(site.page('/methods/index.html'));
  const calls = [
    ...METHODS.map((method) => [method, [0, 0, 0, 0, 0, 0, 0, 0, 0]]),
    ['GetVersion', ['zero']], ['GetVersion', [1.5]], ['GetVersion', [2 ** 31]], ['Open', [1]], ['Hex2Str', [null]],
    ['SendIOCTL', ['a', 0, 'x']], ['GetVersion', []],
  ];
  const expected = shellAnswers(calls).map(({ error }) => ({ error, name: 'Error' }));
  const got = [];
  for (const [method, args] of calls) got.push(await call(page, method, args));
  assert.deepEqual(got, expected);
  assert.ok(expected.every(({ error }) => typeof error === 'string' && error.length > 0));

  const local = await page.evaluate(() => document.getElementById('card').Str2Hex({ toString: () => 'x' }).catch((e) => [e.name, e.message]));
  assert.deepEqual(local, ['TypeError', 'argument 1 of Str2Hex must be a string or a number, not object']);
  assert.deepEqual(await call(page, 'Hex2Str', ['47 72 FC DF 65']), { result: 'Grüße' }, 'the control still answers');
  await page.close();
});

test('a result over 1 MiB arrives whole', async () => {
  const page = await browser.open(site.page('/methods/index.html'));
  assert.equal((await openWithAnswer(browser, page, 'OK')).result, 0);
  // Only this host logs: its records, each under 64 KiB, are the whole file.
  assert.deepEqual(await call(page, 'SetMode', ['LOGLEVEL', 'DEBUG']), { result: 0 });
  const value = 'Gr\u00fc\u00dfe \u20ac "quoted" <b> & \\ tab\t\u00e9 '.repeat(1500);
  for (let i = 0; i < 24; i++) assert.deepEqual(await call(page, 'SetMode', ['PREFERRED_READER', value]), { result: 0 });
  const { result } = await call(page, 'ReadLogFile', [0]);
  assert.deepEqual(await call(page, 'SetMode', ['LOGLEVEL', 'OFF']), { result: 0 });
  // Windows-1252 on disk; of its characters outside Latin-1 the value holds only the euro sign.
  const onDisk = fs.readFileSync(path.join(protocolDir, 'vexa_ie.log')).toString('latin1').replace(/\x80/g, '\u20ac');
  const umlauts = { '\u00e4': '&auml;', '\u00f6': '&ouml;', '\u00fc': '&uuml;', '\u00c4': '&Auml;', '\u00d6': '&Ouml;', '\u00dc': '&Uuml;', '\u00df': '&szlig;' };
  const reference = onDisk
    .replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;').replace(/"/g, '&quot;')
    .replace(/[\u00e4\u00f6\u00fc\u00c4\u00d6\u00dc\u00df]/g, (c) => umlauts[c]);
  assert.ok(Buffer.byteLength(JSON.stringify(result)) > 1 << 20, 'the log is over the message limit');
  assert.ok(result.includes('tab\\t'), 'control characters are written escaped');
  assert.equal(result.split('Preferred reader set to').length, 25, 'every record came back');
  assert.ok(result.endsWith('\n') && reference.startsWith(result), 'the joined result equals the host\'s records');
  await page.close();
});

test('a host that dies mid-call: the call rejects, "disconnect" fires, the next call starts a fresh control', async () => {
  const page = await browser.open(site.page('/dies/index.html'));
  await page.evaluate(() => {
    window.disconnects = [];
    document.getElementById('card').addEventListener('disconnect', (e) => window.disconnects.push(e.detail.reason));
  });
  assert.deepEqual(await call(page, 'SetMode', ['INTERFACE', 'CTAPI']), { result: 0 });
  await until(() => browser.hostPids().length === 1, 'only this page\'s host to run');
  const [killed] = browser.hostPids();
  assert.ok(killed, 'the host runs');

  // The host waits in the site question when it is killed.
  const popup = browser.nextPopup();
  const pending = call(page, 'Open', ['dies']);
  const box = await popup;
  process.kill(killed, 'SIGKILL');

  const outcome = await pending;
  assert.equal(outcome.name, 'Error');
  assert.match(outcome.error, /VEXA host is gone/);
  await until(() => box.isClosed(), 'the question window to close');
  assert.equal((await page.evaluate(() => window.disconnects)).length, 1);

  assert.deepEqual(await call(page, 'GetMode', ['INTERFACE']), { result: 'PCSC' }, 'a fresh control');
  assert.deepEqual(await call(page, 'ReadLogFile', [0]), { result: '' });
  assert.deepEqual(await call(page, 'GetLastErrorCode'), { result: 992211 }, 'the fresh control must be opened again');
  const now = browser.hostPids();
  assert.equal(now.length, 1);
  assert.notEqual(now[0], killed);
  await page.close();
});

test('the browser stops the worker mid-call: the call rejects, the question window closes, the next call starts afresh', async () => {
  const page = await browser.open(site.page('/restarted/index.html'));
  await page.evaluate(() => {
    window.disconnects = 0;
    document.getElementById('card').addEventListener('disconnect', () => window.disconnects++);
  });
  const popup = browser.nextPopup();
  const pending = call(page, 'Open', ['restarted']);
  const box = await popup;
  const cdp = await browser.context.newCDPSession(page);
  await cdp.send('ServiceWorker.enable');
  await cdp.send('ServiceWorker.stopAllWorkers');

  assert.match((await pending).error, /VEXA host is gone/);
  await until(() => box.isClosed(), 'the orphaned question window to close');
  assert.equal(await page.evaluate(() => window.disconnects), 1);
  await until(() => browser.hostPids().length === 0, 'the host to end with its worker');

  const again = await openWithAnswer(browser, page, 'OK');
  assert.equal(again.result, 0, 'a fresh control in a restarted worker asks and answers');
  await page.close();
});

test('without an installed host: one "disconnect" with "host not installed", then every call fails at once without a new try', async (t) => {
  // An installed package's manifest would answer for every profile.
  const system = path.join('/etc/chromium/native-messaging-hosts', `${hostName()}.json`);
  if (fs.existsSync(system)) {
    t.skip(`a system-wide ${system} answers`);
    return;
  }
  const bare = await new Browser({ register: false }).start();
  try {
    // Counts the worker's attempts to start the host.
    await bare.worker.evaluate(() => {
      const connectNative = chrome.runtime.connectNative.bind(chrome.runtime);
      globalThis.hostStarts = 0;
      chrome.runtime.connectNative = (name) => {
        globalThis.hostStarts += 1;
        return connectNative(name);
      };
    });
    const starts = () => bare.worker.evaluate(() => globalThis.hostStarts);
    const page = await bare.open(site.page('/unregistered/index.html'));
    const watch = () => page.evaluate(() => {
      window.reasons = [];
      for (const element of document.querySelectorAll('object')) {
        element.addEventListener('disconnect', (e) => window.reasons.push([element.id, e.detail.reason]));
      }
    });
    await watch();
    const missing = { error: 'host not installed', name: 'Error' };

    // Calls made together share the one try.
    const together = await page.evaluate(() => {
      const card = document.getElementById('card');
      return Promise.all([card.GetVersion(0), card.Open('x'), card.GetReaderList()].map((p) => p.then(() => 'resolved', (e) => e.message)));
    });
    assert.deepEqual(together, Array(3).fill('host not installed'));
    for (const [method, args] of [['GetVersion', [0]], ['Open', ['x']], ['Hex2Str', ['41']]]) {
      assert.deepEqual(await call(page, method, args), missing);
    }
    assert.deepEqual(await page.evaluate(() => window.reasons), [['card', 'host not installed']]);
    assert.equal(await starts(), 1);

    // An object added later is told once too, and tries nothing either.
    await page.evaluate(() => {
      const late = document.createElement('object');
      late.id = 'late';
      late.type = 'application/chipcard_plugin_20';
      late.addEventListener('disconnect', (e) => window.reasons.push(['late', e.detail.reason]));
      document.body.append(late);
    });
    assert.deepEqual(await call(page, 'GetVersion', [0], 'late'), missing);
    assert.deepEqual(await call(page, 'GetVersion', [0], 'late'), missing);
    assert.deepEqual(await page.evaluate(() => window.reasons), [['card', 'host not installed'], ['late', 'host not installed']]);
    assert.equal(await starts(), 1);

    // A reloaded page tries once more.
    await page.reload();
    await watch();
    assert.deepEqual(await call(page, 'GetVersion', [0]), missing);
    assert.deepEqual(await call(page, 'GetVersion', [0]), missing);
    assert.deepEqual(await page.evaluate(() => window.reasons), [['card', 'host not installed']]);
    assert.equal(await starts(), 2);

    // The reference's example page tells the user what is missing.
    await page.goto(site.page('/unregistered/example.html', examplePage()));
    await page.click('#go');
    await until(async () => (await page.textContent('#out')).includes('Please install the VEXA program.'), 'the example to say so');
    assert.deepEqual(bare.hostPids(), []);
  } finally {
    await bare.remove();
  }
});
