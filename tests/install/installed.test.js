// The installed packages in the browsers as a user has them. Debian's
// Chromium through its start script, which loads every folder under
// /usr/share/chromium/extensions, and firefox-esr, which loads the add-ons in
// its system folder; both find the host through the system's manifests and
// nothing of the source tree or a build is passed to them. Run by
// tests/install/run.sh while the packages are installed.

import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Firefox, GECKO_ID, firefoxMissing } from '../browser/firefox.js';
import { Browser, EXTENSION_ID, Site, openWithAnswer, call, hostName, tempDir } from '../browser/harness.js';

const CHROMIUM_EXTENSION = '/usr/share/chromium/extensions/vexa';
// The host the installed extension connects to.
const HOST_NAME = hostName(CHROMIUM_EXTENSION);
const CHROMIUM_MANIFEST = `/etc/chromium/native-messaging-hosts/${HOST_NAME}.json`;
const FIREFOX_XPI = `/usr/share/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}/${GECKO_ID}.xpi`;
const FIREFOX_MANIFEST = `/usr/lib/mozilla/native-messaging-hosts/${HOST_NAME}.json`;
// A folder for a second extension, chosen by run.sh.
const SECOND = process.env.VEXA_SECOND_EXTENSION;

// The installed host reports the version of its package.
function version() {
  return execFileSync('dpkg-query', ['-W', '-f=${source:Upstream-Version}', 'vexa'], { encoding: 'utf8' });
}

function question(site) {
  return `Darf von ${site.origin} auf Chipkartenleser zugegriffen werden?`;
}

// Programs of the running processes whose environment carries this tag.
function programsTagged(tag) {
  const programs = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      if (fs.readFileSync(`/proc/${entry}/environ`, 'utf8').split('\0').includes(`VEXA_TEST_TAG=${tag}`)) programs.push(fs.readlinkSync(`/proc/${entry}/exe`));
    } catch {
      // Gone meanwhile.
    }
  }
  return programs;
}

async function chromiumReachesHost(browser) {
  const site = await Site.start();
  try {
    const page = await browser.open(site.page('/installed.html'));
    assert.deepEqual(await call(page, 'GetVersion', [0]), { result: version() });
    // The host that answered is the one the system's manifest names.
    const host = fs.realpathSync(JSON.parse(fs.readFileSync(CHROMIUM_MANIFEST, 'utf8')).path);
    assert.ok(programsTagged(browser.tag).includes(host), `no ${host} among this browser's processes`);
    const opened = await openWithAnswer(browser, page, 'OK');
    assert.equal(opened.text, question(site));
    assert.equal(opened.result, 0, JSON.stringify(opened));
  } finally {
    await site.close();
  }
}

test('Chromium loads the installed extension, which reaches the installed host', async () => {
  const browser = new Browser({ installed: true });
  try {
    await browser.start();
    assert.equal(browser.extensionId, EXTENSION_ID);
    await chromiumReachesHost(browser);
  } finally {
    await browser.remove();
  }
});

test('Chromium loads the installed extension beside another installed one', async (t) => {
  if (!SECOND) {
    t.skip('no VEXA_SECOND_EXTENSION (run.sh names one)');
    return;
  }
  fs.mkdirSync(SECOND);
  const browser = new Browser({ installed: true });
  try {
    const manifest = { manifest_version: 3, name: 'VEXA install test dummy', version: '1.0', background: { service_worker: 'dummy_worker.js' } };
    fs.writeFileSync(path.join(SECOND, 'manifest.json'), JSON.stringify(manifest));
    fs.writeFileSync(path.join(SECOND, 'dummy_worker.js'), '// Only shows that the extension runs.\n');
    await browser.start();
    await browser.serviceWorker((url) => url.pathname === '/dummy_worker.js', 'the second installed extension');
    await chromiumReachesHost(browser);
  } finally {
    await browser.remove();
    fs.rmSync(SECOND, { recursive: true, force: true });
  }
});

test('firefox-esr loads the installed add-on, which reaches the installed host', async (t) => {
  const missing = firefoxMissing();
  if (missing) {
    t.skip(missing);
    return;
  }
  assert.ok(fs.existsSync(FIREFOX_XPI), `no ${FIREFOX_XPI}`);
  assert.ok(fs.existsSync(FIREFOX_MANIFEST), `no ${FIREFOX_MANIFEST}`);
  const profile = tempDir('vexa-firefox-profile-');
  const home = tempDir('vexa-firefox-home-');
  const site = await Site.start();
  let firefox = null;
  try {
    // Debian's own defaults load it: unsigned add-ons are accepted in the
    // system folder (extensions.unsignedScopes) and that scope is not
    // disabled on arrival (extensions.autoDisableScopes). The WebDriver
    // agent would put its own add-on prefs over those (enabledScopes 5
    // leaves the system folder out): keep it from doing so.
    firefox = await Firefox.start(profile, home, { 'remote.prefs.recommended': false });
    await firefox.navigate(site.page('/installed.html'));
    const methods = await firefox.evaluate(firefox.context, "typeof document.getElementById('card').GetVersion");
    assert.equal(methods, 'function', `firefox-esr did not load ${FIREFOX_XPI}: the page object has no methods`);
    assert.deepEqual(await firefox.call('GetVersion', [0]), { result: version() });
    const opened = await firefox.openWithOk();
    assert.equal(opened.text, question(site));
    assert.equal(opened.result, 0, JSON.stringify(opened));
  } finally {
    await firefox?.close();
    await site.close();
    fs.rmSync(profile, { recursive: true, force: true });
    fs.rmSync(home, { recursive: true, force: true });
  }
});
