// Which address Open judges, and how long an admission lasts.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { Browser, PLUGIN, Site, call, openWithAnswer, pageHtml } from './harness.js';

let site;
let other;
let browser;

before(async () => {
  site = await Site.start();
  other = await Site.start();
  browser = await new Browser().start();
});

after(async () => {
  await browser?.remove();
  await site?.close();
  await other?.close();
});

// Calls Open and fails if the question popup shows up (closing it, so Open
// ends at once).
async function openWithoutQuestion(page, id = 'card') {
  const popups = [];
  const seen = (popup) => {
    popups.push(popup.url());
    popup.close().catch(() => {});
  };
  browser.context.on('page', seen);
  const answer = await call(page, 'Open', ['again'], id);
  browser.context.off('page', seen);
  assert.deepEqual(popups, [], 'no question expected');
  return answer;
}

test('a site admitted once stays admitted across a reload and a browser restart', async () => {
  const url = site.page('/kept/index.html');
  let page = await browser.open(url);
  assert.equal((await openWithAnswer(browser, page, 'OK')).result, 0);

  await page.reload();
  assert.deepEqual(await openWithoutQuestion(page), { result: 0 });

  await browser.close();
  browser = await new Browser({ profile: browser.profile, home: browser.home }).start();
  page = await browser.open(url);
  assert.deepEqual(await openWithoutQuestion(page), { result: 0 });
  await page.close();
});

test('an admitted entry covers the pages below it, not a longer path', async () => {
  const page = await browser.open(site.page('/a/index.html'));
  assert.equal((await openWithAnswer(browser, page, 'OK')).result, 0);

  const below = await browser.open(site.page('/a/deeper/page.html'));
  assert.deepEqual(await openWithoutQuestion(below), { result: 0 });

  const longer = await browser.open(site.page('/ab/index.html'));
  const answer = await openWithAnswer(browser, longer, 'Abbrechen');
  assert.equal(answer.text, `Darf von ${site.url('/ab')} auf Chipkartenleser zugegriffen werden?`);
  assert.equal(answer.result, 992211);

  const otherPort = await browser.open(other.page('/a/index.html'));
  assert.equal((await openWithAnswer(browser, otherPort, 'Abbrechen')).result, 992211, 'another port is another site');
  for (const p of [page, below, longer, otherPort]) await p.close();
});

test('an object in a frame from another origin is judged by the frame address', async () => {
  const frameUrl = other.page('/framed/inner.html', pageHtml(PLUGIN, 'inner'));
  const top = await browser.open(site.page('/top/index.html', pageHtml(`${PLUGIN}<iframe src="${frameUrl}"></iframe>`)));
  assert.equal((await openWithAnswer(browser, top, 'OK')).result, 0, 'the top page is admitted');

  const frame = top.frames().find((f) => f.url() === frameUrl);
  assert.ok(frame, 'the frame loaded');
  const answer = await openWithAnswer(browser, frame, 'Abbrechen');
  assert.equal(answer.text, `Darf von ${other.url('/framed')} auf Chipkartenleser zugegriffen werden?`);
  assert.equal(answer.result, 992211, 'the top page admission does not carry over into the frame');
  assert.deepEqual(await call(top, 'GetLastErrorCode'), { result: 0 }, 'the top object keeps its own state');
  await top.close();
});

test('objects in about:blank, srcdoc, blob: and sandboxed frames are judged by the origin they inherit', async () => {
  site.page('/sandboxed/inner.html', pageHtml(PLUGIN, 'sandboxed'));
  const top = await browser.open(site.page('/inherit/index.html', pageHtml(
    `<iframe id="srcdoc" srcdoc='${PLUGIN}'></iframe><iframe id="sandboxed" sandbox="allow-scripts" src="/sandboxed/inner.html"></iframe>`)));
  // A frame without an address filled by the page's script, and a blob: frame.
  await top.evaluate(async (plugin) => {
    const built = document.createElement('iframe');
    built.id = 'built';
    document.body.append(built);
    built.contentDocument.body.innerHTML = plugin;
    const blob = document.createElement('iframe');
    blob.id = 'blob';
    blob.src = URL.createObjectURL(new Blob([`<!doctype html><body>${plugin}</body>`], { type: 'text/html' }));
    const loaded = new Promise((resolve) => blob.addEventListener('load', resolve));
    document.body.append(blob);
    await loaded;
  }, PLUGIN);
  const frameOf = async (id) => (await top.$(`#${id}`)).contentFrame();

  for (const id of ['built', 'srcdoc', 'blob']) {
    // The same question in the same tab waits 10 s after a Cancel.
    await browser.advanceClock(10000);
    const answer = await openWithAnswer(browser, await frameOf(id), 'Abbrechen');
    assert.equal(answer.text, `Darf von ${site.origin} auf Chipkartenleser zugegriffen werden?`, `the ${id} frame is asked about its origin`);
    assert.equal(answer.result, 992211);
  }
  // An opaque origin names no site: refused without a question.
  assert.deepEqual(await openWithoutQuestion(await frameOf('sandboxed')), { result: 992211 });
  await top.close();
});
