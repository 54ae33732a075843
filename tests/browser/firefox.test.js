// Smoke test of the extension in Debian's firefox-esr with the real vexa-host.
// Playwright cannot drive firefox-esr, so the test speaks WebDriver BiDi to
// it directly: a temporary install of the extension from the build, a page
// on 127.0.0.1 with one plug-in object, calls into that page. Skips (never
// fails) when there is no firefox-esr, no WebSocket in this Node.js, or the
// browser does not come up.

import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { Firefox, GECKO_ID, firefoxMissing } from './firefox.js';
import {
  EXTENSION, HOST, MADE_ROOM, REFUSED_CALLS, Site, TOO_MANY_IN_TAB, TOO_MANY_WAITING,
  goneError, greedyPage, hostName, tempDir, until, waitingPage,
} from './harness.js';

// Unsigned add-ons are allowed on ESR; the temporary install needs no
// signature anyway, the prefs keep a stale profile from refusing it.
const PREFS = { 'xpinstall.signatures.required': false, 'extensions.autoDisableScopes': 0 };
const SYSTEM_MANIFEST = `/usr/lib/mozilla/native-messaging-hosts/${hostName()}.json`;

// Firefox looks for host manifests under $HOME/.mozilla; `vexa-host register`
// writes the one that admits our add-on id.
function registerHost(home) {
  execFileSync(HOST, ['register'], { env: { ...process.env, HOME: home }, stdio: 'pipe' });
  const file = path.join(home, '.mozilla', 'native-messaging-hosts', `${hostName()}.json`);
  hostManifest = file;
  const manifest = JSON.parse(fs.readFileSync(file, 'utf8'));
  assert.deepEqual(manifest.allowed_extensions, [GECKO_ID]);
}

let skip = firefoxMissing();
let hostManifest = null;
let firefox = null;
let site = null;
const dirs = [];

// How many question windows are open.
const questionWindows = async () => {
  const { contexts } = await firefox.bidi.send('browsingContext.getTree', {});
  return contexts.filter((entry) => entry.url.includes('/question.html')).length;
};

before(async () => {
  if (skip) return;
  const profile = tempDir('vexa-firefox-profile-');
  const home = tempDir('vexa-firefox-home-');
  dirs.push(profile, home);
  registerHost(home);
  try {
    firefox = await Firefox.start(profile, home, PREFS);
  } catch (error) {
    skip = `firefox-esr did not start: ${error.message}`;
    return;
  }
  await firefox.bidi.send('webExtension.install', { extensionData: { type: 'path', path: EXTENSION } });
  site = await Site.start();
});

after(async () => {
  await firefox?.close();
  await site?.close();
  for (const dir of dirs) fs.rmSync(dir, { recursive: true, force: true });
});

test('firefox-esr: the page object reaches vexa-host', async (t) => {
  if (skip) {
    t.skip(skip);
    return;
  }
  await firefox.navigate(site.page('/firefox.html'));
  assert.deepEqual(await firefox.call('GetVersion', [0]), { result: '2.0.0.2' });
  assert.deepEqual(await firefox.call('Hex2Str', ['41 42']), { result: 'AB' });
  // A call the host refuses comes back as the page's rejection, not a hang.
  const refused = await firefox.call('Hex2Str', []);
  assert.match(refused.error ?? '', /expects 1 argument/, JSON.stringify(refused));

  // Open asks in the extension's own window; OK there admits the page.
  const opened = await firefox.openWithOk();
  assert.equal(opened.text, `Darf von ${site.origin} auf Chipkartenleser zugegriffen werden?`);
  assert.deepEqual(opened.result, 0, JSON.stringify(opened));
  assert.equal(typeof (await firefox.call('GetReaderList', [])).result, 'string');
});

test('firefox-esr: a call the host would refuse as a whole rejects at once with the reason', async (t) => {
  if (skip) {
    t.skip(skip);
    return;
  }
  await firefox.navigate(site.page('/firefox-refused.html'));
  for (const [[method, args], error] of REFUSED_CALLS) {
    assert.deepEqual(await firefox.call(method, args), { error }, method);
  }
  assert.deepEqual(await firefox.call('GetVersion', [0]), { result: '2.0.0.2' }, 'the control goes on');
});

test('firefox-esr: after Cancel the same site in the same tab is answered as Cancel at once, without a window', async (t) => {
  if (skip) {
    t.skip(skip);
    return;
  }
  // A site of its own: the first test admitted this one's.
  const quiet = await Site.start();
  try {
    const url = quiet.page('/quiet/firefox.html');
    await firefox.navigate(url);
    assert.equal((await firefox.openWith('cancel')).result, 992211);
    // A new document, a new control: still not asked within 10 s.
    await firefox.navigate(url);
    assert.deepEqual(await firefox.call('Open', ['again']), { result: 992211 });
    assert.equal(await questionWindows(), 0, 'no question window');
  } finally {
    await quiet.close();
  }
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
    await firefox.navigate(site.page('/firefox-missing.html'));
    await firefox.evaluate(firefox.context, `window.reasons = [];
      document.getElementById('card').addEventListener('disconnect', (e) => window.reasons.push(e.detail.reason)); 0`);
    assert.deepEqual(await firefox.call('GetVersion', [0]), { error: 'host not installed' });
    assert.deepEqual(await firefox.call('GetVersion', [0]), { error: 'host not installed' });
    assert.equal(await firefox.evaluate(firefox.context, 'JSON.stringify(window.reasons)'), JSON.stringify(['host not installed']));
  } finally {
    fs.renameSync(aside, hostManifest);
  }
});

// The outcomes and "disconnect" reasons of a greedy page's frames, flattened.
async function greedyOutcomes(tab) {
  const outcomes = [];
  const reasons = [];
  for (const frame of await firefox.frames(tab)) {
    const each = JSON.parse(await firefox.evaluate(frame, 'window.outcomes.then((outcomes) => JSON.stringify({ outcomes, reasons }))', true));
    outcomes.push(...each.outcomes);
    reasons.push(...each.reasons);
  }
  return { outcomes, reasons };
}

test('firefox-esr: hostile tabs cannot crowd out another: idle unadmitted hosts make room, admitted ones stay', async (t) => {
  if (skip) {
    t.skip(skip);
    return;
  }
  // Sites of their own: the first test admitted the shared one.
  const origins = await Promise.all([0, 1, 2, 3].map(() => Site.start()));
  const tabs = [];
  try {
    await firefox.navigate('about:blank');
    await until(() => firefox.hostPids().length === 0, 'the hosts of earlier pages to end');
    const count = (list, value) => list.filter((item) => item === value).length;

    // A page waiting for its question's turn holds calls on a host that is
    // idle and not admitted; it came first, so its host is the idlest.
    const waiting = await firefox.openTab(origins[0].page('/waiting/index.html', waitingPage()));
    tabs.push(waiting);
    await firefox.evaluate(waiting, 'window.ask()');
    await firefox.questionWindow();
    assert.equal(await firefox.evaluate(waiting, 'window.hold()', true), TOO_MANY_WAITING, 'the host holds the waiter\'s calls');

    const frames = origins.slice(1).map((origin) => origin.page('/greedy/frame.html', greedyPage()));
    const greedy = origins[0].page('/greedy/index.html', greedyPage(frames));
    const greedyTabs = [];
    for (let tab = 0; tab < 4; tab += 1) {
      greedyTabs.push(await firefox.openTab(greedy));
      tabs.push(greedyTabs[tab]);
      const { outcomes, reasons } = await greedyOutcomes(greedyTabs[tab]);
      assert.equal(outcomes.length, 64, 'four frame origins of 16 objects');
      assert.equal(count(outcomes, '2.0.0.2'), 16, `tab ${tab} gets 16 hosts across its frames`);
      assert.equal(count(outcomes, goneError(TOO_MANY_IN_TAB)), 48);
      assert.equal(count(reasons, TOO_MANY_IN_TAB), 48);
    }
    assert.equal(firefox.hostPids().length, 64, 'every place in the browser is taken');

    // The last greedy tab's 16 hosts took two places: the waiter's first,
    // whose pending calls are told why, then the idlest greedy one.
    const held = JSON.parse(await firefox.evaluate(waiting, 'window.held.then(JSON.stringify)', true));
    const madeRoom = { error: goneError(MADE_ROOM) };
    assert.deepEqual(held[0], madeRoom, 'the waiter\'s Open');
    assert.ok(held.every((outcome) => outcome.error === madeRoom.error || outcome.error === TOO_MANY_WAITING), JSON.stringify(held));
    assert.ok(count(held.map((outcome) => outcome.error), madeRoom.error) > 1, 'calls held behind Open are told too');
    const evicted = async () => {
      let n = 0;
      for (const tab of greedyTabs) n += count((await greedyOutcomes(tab)).reasons, MADE_ROOM);
      return n;
    };
    assert.equal(await evicted(), 1);
    // The question on screen kept the asker's host; the user now refuses it.
    assert.equal(await firefox.answerQuestion('cancel'), `Darf von ${origins[0].url('/waiting')} auf Chipkartenleser zugegriffen werden?`);
    assert.deepEqual(JSON.parse(await firefox.evaluate(waiting, 'window.asked.then(JSON.stringify)', true)), { result: 992211 });
    await until(async () => (await questionWindows()) === 0, 'the question window to close');

    const bank = await firefox.openTab(origins[0].page('/bank/index.html'));
    tabs.push(bank);
    assert.deepEqual(await firefox.call('GetVersion', [0], bank), { result: '2.0.0.2' }, 'a tab without a host gets one');
    await until(async () => (await evicted()) === 2, 'the page of the host that made room to be told');
    const opened = await firefox.openWith('ok', bank);
    assert.equal(opened.text, `Darf von ${origins[0].url('/bank')} auf Chipkartenleser zugegriffen werden?`);
    assert.equal(opened.result, 0, JSON.stringify(opened));

    // Now the bank's host and the refused asker's are the idlest. A fifth
    // greedy tab takes 16 places: the asker's and 15 greedy ones; the
    // admitted bank keeps its host and its state.
    for (const tab of greedyTabs) {
      for (const frame of await firefox.frames(tab)) await firefox.evaluate(frame, 'window.touch().then(() => 0)', true);
    }
    const fifth = await firefox.openTab(greedy);
    tabs.push(fifth);
    assert.equal(count((await greedyOutcomes(fifth)).outcomes, '2.0.0.2'), 16);
    await until(async () => (await evicted()) === 17, 'fifteen more greedy hosts to make room');
    assert.deepEqual(JSON.parse(await firefox.evaluate(waiting, 'JSON.stringify(window.reasons)')), [['waiter', MADE_ROOM], ['asker', MADE_ROOM]]);
    assert.deepEqual(await firefox.call('GetLastErrorCode', [], bank), { result: 0 }, 'the bank\'s control is the admitted one');
    await until(() => firefox.hostPids().length === 64, 'the hosts that made room to end');
    assert.equal(await evicted(), 17, 'and no more');
    for (const tab of tabs.splice(0)) await firefox.closeTab(tab);
    await until(() => firefox.hostPids().length === 0, 'the hosts to end with their tabs', 30000);
  } finally {
    for (const tab of tabs) await firefox.closeTab(tab).catch(() => {});
    await Promise.all(origins.map((origin) => origin.close()));
  }
});

test('firefox-esr: an add-on without site access shows its own page, and one click there gives the access', async (t) => {
  if (skip) {
    t.skip(skip);
    return;
  }
  // As in a profile that finds the add-on installed: no site access at
  // install. The browser's own prompt cannot be clicked here, so it is off:
  // the request the click makes is granted as the user would grant it.
  const profile = tempDir('vexa-firefox-profile-');
  const home = tempDir('vexa-firefox-home-');
  dirs.push(profile, home);
  registerHost(home);
  const withheld = await Firefox.start(profile, home, {
    ...PREFS,
    'extensions.originControls.grantByDefault': false,
    'extensions.webextOptionalPermissionPrompts': false,
  });
  try {
    await withheld.bidi.send('webExtension.install', { extensionData: { type: 'path', path: EXTENSION } });
    const offer = await withheld.extensionPage('site_access.html');
    await withheld.navigate(site.page('/firefox-withheld.html'));
    assert.equal(await withheld.evaluate(withheld.context, "typeof document.getElementById('card').GetVersion"), 'undefined',
      'without site access the page sees no VEXA');

    await until(() => withheld.evaluate(offer, "document.getElementById('allow') !== null").catch(() => false), 'the page to load');
    await withheld.click(offer, 'allow');
    await until(async () => {
      const { contexts } = await withheld.bidi.send('browsingContext.getTree', {});
      return !contexts.some((entry) => entry.context === offer);
    }, 'the page to close once access is given');
    await withheld.navigate(site.page('/firefox-withheld.html'));
    assert.deepEqual(await withheld.call('GetVersion', [0]), { result: '2.0.0.2' });
  } finally {
    await withheld.close();
  }
});
