// Card work from a page through the extension and vexa-host, on the test
// bed's virtual readers (testbed/start_testbed.sh; VEXA_TESTBED_DIR names it).

import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { BUILD, Browser, Site, answer, call, examplePage, openWithAnswer, pressOk, until } from './harness.js';

const BED = process.env.VEXA_TESTBED_DIR ?? '';
const hasBed = BED !== '' && fs.existsSync(path.join(BED, 'card1.sock'));
const skip = hasBed || process.env.VEXA_TESTBED_REQUIRED ? false : 'no test bed (testbed/start_testbed.sh starts one)';
const READERS = ['Virtual PCD 00 00', 'Virtual PCD 00 01'];

let site;
let browser;

before(async () => {
  if (skip) return;
  site = await Site.start();
  browser = await new Browser().start();
});

after(async () => {
  await browser?.remove();
  await site?.close();
});

test('a page lists the readers, connects a card and exchanges an APDU', { skip }, async () => {
  assert.ok(hasBed, `no test bed in '${BED}'`);
  const page = await browser.open(site.page('/cards/index.html'));
  assert.equal((await openWithAnswer(browser, page, 'OK')).result, 0);
  assert.deepEqual((await call(page, 'GetReaderList')).result.split('\r\n'), READERS);
  assert.deepEqual(await call(page, 'ConnectCard', [READERS[1], 2]), { result: 0 });
  assert.match((await call(page, 'GetCardATR', [READERS[1]])).result, /^3B( [0-9A-F]{2})+ $/);
  assert.deepEqual(await call(page, 'SendToCard', ['80 EE 00 00 03 01 02 03']), { result: '01 02 03 90 00' });
  assert.deepEqual(await call(page, 'GetLastErrorCode'), { result: 0 });
  assert.deepEqual(await call(page, 'DisConnectCardEx', [0]), { result: 0 });
  await page.close();
});

test('the example page of the reference reads a card and then reports card events', { skip }, async () => {
  const page = await browser.open(site.page('/example/index.html', examplePage()));
  const popup = browser.nextPopup();
  await page.click('#go');
  const question = await popup;
  await answer(question, () => pressOk(question));
  const output = () => page.textContent('#out');
  await until(async () => (await output()).includes(`card in ${READERS[1]}`), 'the example to report the cards', 20000);
  const lines = (await output()).trim().split('\n');
  assert.equal(lines[0], 'VEXA 2.0.0.2');
  assert.match(lines[1], /^SELECT answered ([0-9a-f]{2} )*[0-9a-f]{2}$/);
  assert.ok(!lines.some((line) => /failed|error|stopped/.test(line)), lines.join('\n'));
  await page.close();
});

// Moves the test bed's second card: 'remove' or 'insert'.
function moveCard(request) {
  execFileSync(path.join(BUILD, 'testbed', 'vexa-card'), ['ctl', path.join(BED, 'card1.sock'), request], { stdio: 'ignore' });
}

test('card events reach the page as DOM events and through attachEvent', { skip }, async () => {
  const page = await browser.open(site.page('/events/index.html'));
  assert.equal((await openWithAnswer(browser, page, 'OK')).result, 0);
  await page.evaluate(() => {
    window.seen = [];
    const card = document.getElementById('card');
    for (const name of ['OnCardReady', 'OnCardRemoved']) {
      card.addEventListener(name, (event) => window.seen.push({ via: 'event', name, args: event.detail }));
      card.attachEvent(name, (...args) => window.seen.push({ via: 'attachEvent', name, args }));
    }
  });
  assert.deepEqual(await call(page, 'SetMode', ['INTERFACE', 'PCSC']), { result: 0 });
  assert.deepEqual(await call(page, 'EnableEvents', ['ev1']), { result: 0 });

  const seen = () => page.evaluate(() => window.seen);
  const about = (list, name) => list.filter((e) => e.name === name && e.args[0] === READERS[1]);
  try {
    // The monitor's first pass reports the cards present; a card pulled
    // before that pass would never have been there for it.
    await until(async () => about(await seen(), 'OnCardReady').length >= 2, 'the first OnCardReady');
    moveCard('remove');
    await until(async () => about(await seen(), 'OnCardRemoved').length >= 2, 'OnCardRemoved');
    const removedAt = (await seen()).length;
    moveCard('insert');
    await until(async () => about((await seen()).slice(removedAt), 'OnCardReady').length >= 2, 'OnCardReady');
  } finally {
    moveCard('insert');
  }
  const [removedEvent, removedAttached] = about(await seen(), 'OnCardRemoved');
  assert.deepEqual(removedEvent, { via: 'event', name: 'OnCardRemoved', args: [READERS[1], 'ev1'] });
  assert.deepEqual(removedAttached.args, removedEvent.args);
  const ready = about(await seen(), 'OnCardReady').slice(-2);
  assert.equal(ready[0].via, 'event');
  assert.deepEqual(ready[1].args, ready[0].args);
  const [reader, atr, protocol, identifier] = ready[0].args;
  assert.deepEqual([reader, identifier, typeof atr, Number.isInteger(protocol)], [READERS[1], 'ev1', 'string', true]);
  assert.deepEqual(await call(page, 'DisableEvents'), { result: 0 });
  await page.close();
});

test('a transaction left idle by one page ends, so another page gets the card', { skip }, async () => {
  const holder = await browser.open(site.page('/transactions/a.html'));
  const other = await browser.open(site.page('/transactions/b.html'));
  try {
    assert.equal((await openWithAnswer(browser, holder, 'OK')).result, 0);
    assert.deepEqual(await call(other, 'Open', ['test']), { result: 0 }); // the site is admitted now
    assert.deepEqual(await call(holder, 'ConnectCard', [READERS[0], 2]), { result: 0 });
    assert.deepEqual(await call(holder, 'BeginTransaction'), { result: 0 });
    // pcsc-lite lets the other page's connect wait behind the transaction,
    // and its later calls behind that, until the holder's host ends it.
    const connected = call(other, 'ConnectCard', [READERS[0], 2]);
    const version = call(other, 'GetVersion', [0]);
    assert.deepEqual(await connected, { result: 0 });
    assert.deepEqual(await version, { result: '2.0.0.2' });
    assert.deepEqual(await call(other, 'SendToCard', ['80 EE 00 00 01 07']), { result: '07 90 00' });
    // The holder learns that its card was reset.
    assert.deepEqual(await call(holder, 'SendToCard', ['80 EE 00 00 01 07']), { result: '' });
    assert.deepEqual(await call(holder, 'GetLastErrorCode'), { result: -2146434968 }); // SCARD_W_RESET_CARD
  } finally {
    await holder.close();
    await other.close();
  }
});

test('a page uses the readers of a remote server over TLS: list, APDU, transaction, events', { skip }, async () => {
  const server = fs.readFileSync(path.join(BED, 'rpcscd-tls.address'), 'utf8').trim();
  const remote = READERS.map((reader) => `${server}:${reader}`);
  // A browser of its own, configured for the TLS server with the bed's
  // client certificate where the settings look by default.
  const tlsBrowser = new Browser();
  const meridan = path.join(tlsBrowser.configHome, 'MERIDAN');
  const files = path.join(meridan, 'remote-pcsc');
  fs.mkdirSync(files, { recursive: true });
  for (const name of ['ca.pem', 'client.pem', 'client.key']) fs.copyFileSync(path.join(BED, 'tls', name), path.join(files, name));
  fs.chmodSync(path.join(files, 'client.key'), 0o600);
  fs.writeFileSync(path.join(meridan, 'vexa_ie.conf'),
    `INTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER=${server}\nREMOTE_PCSC_TLS_SERVER=${server}\n`);
  await tlsBrowser.start();
  try {
    const page = await tlsBrowser.open(site.page('/remote/index.html'));
    assert.equal((await openWithAnswer(tlsBrowser, page, 'OK')).result, 0);
    assert.deepEqual((await call(page, 'GetReaderList')).result.split('\r\n'), remote);
    assert.deepEqual(await call(page, 'ConnectCard', [remote[0], 2]), { result: 0 });
    assert.deepEqual(await call(page, 'BeginTransaction'), { result: 0 });
    assert.deepEqual(await call(page, 'SendToCard', ['80 EE 00 00 02 0A 0B']), { result: '0a 0b 90 00' });
    assert.deepEqual(await call(page, 'EndTransaction'), { result: 0 });
    assert.deepEqual(await call(page, 'DisConnectCardEx', [0]), { result: 0 });

    await page.evaluate(() => {
      window.seen = [];
      const card = document.getElementById('card');
      for (const name of ['OnCardReady', 'OnCardRemoved']) card.addEventListener(name, (event) => window.seen.push([name, ...event.detail]));
    });
    assert.deepEqual(await call(page, 'EnableEvents', ['tls']), { result: 0 });
    const seen = async (name) => (await page.evaluate(() => window.seen)).filter((e) => e[0] === name && e[1] === remote[1]);
    try {
      // The monitor's first pass reports the card present; pulled before
      // that pass, it would never have been there for it.
      await until(async () => (await seen('OnCardReady')).length > 0, 'OnCardReady from the TLS server');
      moveCard('remove');
      await until(async () => (await seen('OnCardRemoved')).length > 0, 'OnCardRemoved from the TLS server');
    } finally {
      moveCard('insert');
    }
    assert.equal((await seen('OnCardRemoved'))[0][2], 'tls');
    assert.deepEqual(await call(page, 'DisableEvents'), { result: 0 });
    await page.close();
  } finally {
    await tlsBrowser.remove();
  }
});
