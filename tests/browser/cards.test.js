// Card work from a page through the extension and vexa-host, on the test
// bed's virtual readers (testbed/start_testbed.sh; VEXA_TESTBED_DIR names it).

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { Browser, Site, call, openWithAnswer } from './harness.js';

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
