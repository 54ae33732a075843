// The site question of Open as the user sees it: the extension's own popup.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { Browser, Site, TOO_MANY_WAITING, answer, call, crowdQuestion, openWithAnswer, pageHtml, pressOk, until } from './harness.js';

let site;
let browser;

before(async () => {
  site = await Site.start();
  browser = await new Browser().start();
});

after(async () => {
  await browser?.remove();
  await site?.close();
});

const question = (address) => `Darf von ${address} auf Chipkartenleser zugegriffen werden?`;
const sitesFile = () => path.join(browser.configHome, 'MERIDAN', 'vexa_sites.conf');

test('Cancel refuses the page, is not remembered, and the guarded methods stay closed', async () => {
  const page = await browser.open(site.page('/refused/index.html'));
  const answer = await openWithAnswer(browser, page, 'Abbrechen');
  assert.deepEqual(answer, { result: 992211, caption: 'Frage', title: 'Frage', text: question(site.url('/refused')) });
  assert.deepEqual(await call(page, 'ReadLogFile', [0]), { result: '' });
  assert.deepEqual(await call(page, 'GetLastErrorCode'), { result: 992211 });
  assert.equal(fs.existsSync(sitesFile()), false, 'a refusal writes no sites file');

  // Not at once: a refused site is left alone for 10 s.
  await browser.advanceClock(10000);
  await page.reload();
  const again = await openWithAnswer(browser, page, 'Abbrechen');
  assert.equal(again.result, 992211, 'a new control asks again');
  await page.close();
});

test('OK admits the page and stores the site', async () => {
  const page = await browser.open(site.page('/admitted/sub/index.html'));
  const answer = await openWithAnswer(browser, page, 'OK');
  assert.deepEqual(answer, { result: 0, caption: 'Frage', title: 'Frage', text: question(site.url('/admitted/sub')) });
  assert.deepEqual(await call(page, 'GetLastErrorCode'), { result: 0 });
  assert.deepEqual(await call(page, 'ReadLogFile', [0]), { result: '' });
  assert.deepEqual(await call(page, 'GetLastErrorCode'), { result: 0 }, 'ReadLogFile passes the guard once admitted');
  assert.ok(fs.existsSync(sitesFile()));
  await page.close();
});

test('Cancel has the focus, so Enter refuses; closing the window refuses too', async () => {
  const page = await browser.open(site.page('/keys/index.html'));
  let popup = browser.nextPopup();
  let open = call(page, 'Open', ['keys']);
  let box = await popup;
  await box.waitForSelector('#text:not(:empty)');
  assert.equal(await box.evaluate(() => document.activeElement.id), 'cancel');
  await box.waitForSelector('#ok:enabled');
  await answer(box, () => box.keyboard.press('Enter'));
  assert.deepEqual(await open, { result: 992211 });

  await browser.advanceClock(10000);
  await page.reload();
  popup = browser.nextPopup();
  open = call(page, 'Open', ['closed']);
  box = await popup;
  await box.close();
  assert.deepEqual(await open, { result: 992211 });
  await page.close();
});

test('while the question is open, further calls wait and are answered after it', async () => {
  const page = await browser.open(site.page('/modal/index.html'));
  const popup = browser.nextPopup();
  const open = call(page, 'Open', ['modal']);
  const box = await popup;
  const { refusal, crowd } = await crowdQuestion(page, ['GetVersion', [0]]);
  assert.equal(refusal, TOO_MANY_WAITING);
  assert.equal(await crowd.evaluate((state) => state.settled), false, 'GetVersion waits');
  await answer(box, () => pressOk(box));
  assert.deepEqual(await open, { result: 0 });
  assert.equal(await crowd.evaluate((state) => state.first), '2.0.0.2');
  await page.close();
});

test('a page that goes away while its question is open takes the question window with it', async () => {
  const page = await browser.open(site.page('/leaves/index.html'));
  const popup = browser.nextPopup();
  call(page, 'Open', ['leaves']).catch(() => {});
  const box = await popup;
  const closed = box.waitForEvent('close');
  await page.close();
  await closed;
  await until(() => browser.hostPids().length === 0, 'the host to end');
});

test('OK takes no click at once when the window shows or comes back to the front', async () => {
  const page = await browser.open(site.page('/early/index.html'));
  const popup = browser.nextPopup();
  const open = call(page, 'Open', ['early']);
  const box = await popup;
  // A page that times a click for the moment the window appears: the
  // window's own load, focus and visibility events each start the wait anew.
  for (const [target, name] of [['window', 'load'], ['window', 'focus'], ['document', 'visibilitychange']]) {
    await box.waitForSelector('#ok:enabled');
    const lost = await box.evaluate(([where, event]) => {
      (where === 'window' ? window : document).dispatchEvent(new Event(event));
      const ok = document.getElementById('ok');
      ok.click();
      ok.dispatchEvent(new MouseEvent('click', { bubbles: true }));
      return ok.disabled;
    }, [target, name]);
    assert.equal(lost, true, `OK is held after ${name}`);
  }
  assert.equal(box.isClosed(), false, 'the question is still open');
  await answer(box, () => box.click('text=Abbrechen'));
  assert.deepEqual(await open, { result: 992211 }, 'the early clicks on OK were not taken');

  // Once the wait is over, OK answers.
  await browser.advanceClock(10000);
  await page.reload();
  const again = browser.nextPopup();
  const second = call(page, 'Open', ['later']);
  const later = await again;
  await answer(later, () => pressOk(later));
  assert.deepEqual(await second, { result: 0 });
  await page.close();
});

test('a tab shows one question at a time; its answer also settles the same question waiting behind it', async () => {
  const objects = (prefix, count) =>
    Array.from({ length: count }, (_, i) => `<object id="${prefix}${i}" type="application/chipcard_plugin_20"></object>`).join('');
  site.page('/turns-b/inner.html', pageHtml(objects('b', 2)));
  const page = await browser.open(site.page('/turns-a/index.html', pageHtml(`${objects('a', 4)}<iframe src="/turns-b/inner.html"></iframe>`)));
  const frame = page.frames().find((f) => f.url().endsWith('/turns-b/inner.html'));
  const windows = [];
  const seen = (p) => {
    if (p.url().includes('/question.html')) windows.push(p);
  };
  browser.context.on('page', seen);

  let popup = browser.nextPopup();
  const opens = [
    ...['a0', 'a1', 'a2', 'a3'].map((id) => call(page, 'Open', ['turn'], id)),
    ...['b0', 'b1'].map((id) => call(frame, 'Open', ['turn'], id)),
  ];
  const shown = [];
  for (const button of ['OK', 'Abbrechen']) {
    const box = await popup;
    await box.waitForSelector('#text:not(:empty)');
    shown.push(await box.textContent('#text'));
    popup = browser.nextPopup();
    await answer(box, () => box.click(`text=${button}`));
  }
  popup.catch(() => {});
  const results = (await Promise.all(opens)).map((outcome) => outcome.result);
  browser.context.off('page', seen);

  const [textA, textB] = [question(site.url('/turns-a')), question(site.url('/turns-b'))];
  assert.deepEqual([...shown].sort(), [textA, textB].sort(), 'each text was asked once, in turn');
  assert.equal(windows.length, 2, 'six Opens, two windows');
  const [admitted, refused] = shown[0] === textA ? [0, 992211] : [992211, 0];
  assert.deepEqual(results, [admitted, admitted, admitted, admitted, refused, refused]);
  await page.close();
});

test('after Cancel the same site in the same tab is not asked for 10 s; after three Cancels not until a new document', async () => {
  const url = site.page('/quiet/index.html');
  const page = await browser.open(url);
  const windows = [];
  const seen = (p) => {
    if (p.url().includes('/question.html')) windows.push(p);
  };
  // A fresh object for each try, as a page bent on asking would make.
  let made = 0;
  const fresh = () => page.evaluate((id) => {
    const element = document.createElement('object');
    element.id = id;
    element.type = 'application/chipcard_plugin_20';
    document.body.append(element);
    return id;
  }, `fresh${++made}`);
  const openUnasked = async () => {
    browser.context.on('page', seen);
    const outcome = await call(page, 'Open', ['again'], await fresh());
    browser.context.off('page', seen);
    assert.deepEqual(windows, [], 'no question window');
    return outcome;
  };
  const later = (ms) => browser.advanceClock(ms);

  assert.equal((await openWithAnswer(browser, page, 'Abbrechen')).result, 992211);
  assert.deepEqual(await openUnasked(), { result: 992211 }, 'answered as Cancel at once');
  await later(9000);
  assert.deepEqual(await openUnasked(), { result: 992211 }, 'still within 10 s');
  await later(1000);
  assert.equal((await openWithAnswer(browser, page, 'Abbrechen', await fresh())).result, 992211, 'asked again after 10 s');
  await later(10000);
  assert.equal((await openWithAnswer(browser, page, 'Abbrechen', await fresh())).result, 992211, 'the third Cancel');
  await later(3600000);
  assert.deepEqual(await openUnasked(), { result: 992211 }, 'not asked after three Cancels');
  // A frame that loads, or an address the page changes, is no new document.
  await page.evaluate(async (src) => {
    history.pushState(null, '', '/quiet/pushed.html');
    const frame = document.createElement('iframe');
    const loaded = new Promise((resolve) => frame.addEventListener('load', resolve));
    frame.src = src;
    document.body.append(frame);
    await loaded;
  }, site.page('/quiet/frame.html', pageHtml('<p>frame</p>')));
  assert.deepEqual(await openUnasked(), { result: 992211 }, 'still not asked');

  // Another tab is asked; this one after it loads a new document.
  const other = await browser.open(site.page('/quiet/index.html'));
  assert.equal((await openWithAnswer(browser, other, 'Abbrechen')).result, 992211);
  await other.close();
  await page.goto(url);
  assert.equal((await openWithAnswer(browser, page, 'OK')).result, 0, 'asked in the new document');
  await page.close();
});
