// The site question of Open as the user sees it: the extension's own popup.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { Browser, Site, answer, call, openWithAnswer, until } from './harness.js';

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
  await answer(box, () => box.keyboard.press('Enter'));
  assert.deepEqual(await open, { result: 992211 });

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
  const version = call(page, 'GetVersion', [0]);
  const settled = await Promise.race([version.then(() => 'answered'), new Promise((resolve) => setTimeout(resolve, 300, 'waiting'))]);
  assert.equal(settled, 'waiting');
  await answer(box, () => box.click('text=OK'));
  assert.deepEqual(await open, { result: 0 });
  assert.deepEqual(await version, { result: '2.0.0.2' });
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
