// Every call of a page settles: calls the host would refuse as a whole are
// refused at once with the reason, and an object in a popup that its opener
// wrote with document.write works like any other.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { Browser, PLUGIN, REFUSED_CALLS, Site, answer, call, until } from './harness.js';

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


test('a call the host would refuse as a whole rejects at once with the reason', async () => {
  const page = await browser.open(site.page('/refused/index.html'));
  for (const [[method, args], error] of REFUSED_CALLS) {
    assert.deepEqual(await call(page, method, args), { error, name: 'Error' }, method);
  }
  // Just under the bound, and text that is whole, go through.
  const fits = 'x'.repeat((1 << 20) - 100);
  assert.equal((await call(page, 'Str2Hex', [fits])).result?.length, fits.length * 3);
  assert.equal(typeof (await call(page, 'Str2Hex', ['\uD83D\uDE00'])).result, 'string', 'a surrogate pair is whole text');
  assert.deepEqual(await call(page, 'GetVersion', [0]), { result: '2.0.0.2' }, 'the control goes on');
  await page.close();
});

test('an object that an opener writes into its about:blank popup works, judged by the inherited origin', async () => {
  const opener = await browser.open(site.page('/opener/index.html', '<!doctype html><p>opener</p>'));
  const popupPage = browser.context.waitForEvent('page', { predicate: (page) => page.url() === 'about:blank' || page.url().includes('/opener/') });
  const version = await opener.evaluate(async (plugin) => {
    window.popup = window.open('about:blank', '_blank', 'popup,width=300,height=200');
    window.popup.document.write(`<!doctype html><body>${plugin}</body>`);
    window.popup.document.close();
    return window.popup.document.getElementById('card').GetVersion(0);
  }, PLUGIN);
  assert.equal(version, '2.0.0.2');
  await popupPage;

  // The site question names the opener's origin; Cancel refuses.
  const question = browser.nextPopup();
  const open = opener.evaluate(() => window.popup.document.getElementById('card').Open('popup'));
  const box = await question;
  await box.waitForSelector('#text:not(:empty)');
  assert.equal(await box.textContent('#text'), `Darf von ${site.origin} auf Chipkartenleser zugegriffen werden?`);
  await answer(box, () => box.click('text=Abbrechen'));
  assert.equal(await open, 992211);
  await opener.evaluate(() => window.popup.close());
  await until(() => browser.hostPids().length === 0, 'the popup\'s host to end with it');
  await opener.close();
});
