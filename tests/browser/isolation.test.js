// What a page can and cannot reach: each object has its own control, and a
// page posting the relay's messages itself gains nothing.

import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { after, before, test } from 'node:test';
import {
  Browser, CHROMIUM, MADE_ROOM, Site, TOO_MANY_IN_TAB, TOO_MANY_WAITING,
  answer, call, crowdQuestion, goneError, greedyPage, openWithAnswer, pageHtml, until, waitingPage,
} from './harness.js';

let site;
let browser;

before(async () => {
  site = await Site.start();
  browser = new Browser();
  browser.useProtocolDir();
  await browser.start();
});

after(async () => {
  await browser?.remove();
  await site?.close();
});

const TWO = '<object id="one" type="application/chipcard_plugin_20"></object><object id="two" type="application/chipcard_plugin_20"></object>';

test('two objects on one page have independent state and hosts', async () => {
  const page = await browser.open(site.page('/two/index.html', pageHtml(TWO)));
  assert.equal((await openWithAnswer(browser, page, 'OK', 'one')).result, 0);
  assert.deepEqual(await call(page, 'SetMode', ['INTERFACE', 'CTAPI'], 'one'), { result: 0 });

  assert.deepEqual(await call(page, 'GetMode', ['INTERFACE'], 'two'), { result: 'PCSC' });
  assert.deepEqual(await call(page, 'ReadLogFile', [0], 'two'), { result: '' });
  assert.deepEqual(await call(page, 'GetLastErrorCode', [], 'two'), { result: 992211 }, 'the second object was never opened');
  assert.deepEqual(await call(page, 'GetMode', ['INTERFACE'], 'one'), { result: 'CTAPI' });
  assert.deepEqual(await call(page, 'GetLastErrorCode', [], 'one'), { result: 0 });
  assert.equal(browser.hostPids().length, 2, 'one host process per object');
  // The hello named this browser: the host's start-up line says which.
  const chromium = /^Chromium [\d.]+/.exec(execFileSync(CHROMIUM, ['--version'], { stdio: ['ignore', 'pipe', 'ignore'] }).toString())[0];
  assert.ok((await call(page, 'ReadLogFile', [0], 'one')).result.includes(chromium), `the log names ${chromium}`);

  // Removing an object ends its control; the other goes on.
  await page.evaluate(() => document.getElementById('two').remove());
  await until(() => browser.hostPids().length === 1, 'the removed object\'s host to end');
  assert.deepEqual(await call(page, 'GetMode', ['INTERFACE'], 'one'), { result: 'CTAPI' });
  await page.close();
  await until(() => browser.hostPids().length === 0, 'the hosts to end with the page');
});

test('objects added later, by markup or by script, get the API', async () => {
  const page = await browser.open(site.page('/late/index.html', pageHtml('<div id="box"></div>')));
  const types = await page.evaluate(() => {
    document.getElementById('box').innerHTML = '<object id="card" type="Application/ChipCard_Plugin_20"></object>';
    const made = document.createElement('object');
    made.type = 'application/chipcard_plugin_20';
    const plain = document.createElement('object');
    // Used at once, before any observer has run.
    return [typeof document.getElementById('card').GetVersion, typeof made.Open, typeof plain.Open];
  });
  assert.deepEqual(types, ['function', 'function', 'undefined']);
  assert.deepEqual(await call(page, 'Str2Hex', ['AB']), { result: '41 42 ' });
  await page.close();
});

test('messages a page forges change nothing', async () => {
  const url = site.page('/forged/index.html', pageHtml(`<object id="card" type="application/chipcard_plugin_20"></object><iframe src="/forged/child.html"></iframe>`));
  site.page('/forged/child.html', pageHtml('<p>child</p>'));
  const page = await browser.open(url);
  const popups = [];
  browser.context.on('page', (p) => popups.push(p.url()));
  const before = browser.hostPids().length;

  const probe = page.evaluate(async () => {
    // The answers the page is given; a forged call that got through would
    // be answered too, before the real call below.
    let answers = 0;
    window.addEventListener('message', ({ data }) => {
      if (data?.vexa === 'answer' && ('result' in data || 'error' in data)) ++answers;
    });
    const admitted = 'http://127.0.0.1:1/trusted/index.html';
    const forged = [
      { hello: { url: admitted, browser: 'Forged 1.0' } },
      { answer: 'ok' },
      { vexa: 'call', object: 1, id: 1, method: 'Open', args: ['x'], url: admitted },
      { vexa: 'call', object: '1', id: 1, method: 'Open', args: ['x'] },
      { vexa: 'call', object: 1, id: 1.5, method: 'Open', args: ['x'] },
      { vexa: 'call', object: 1, id: 1, method: 'Open', args: [{ url: admitted }] },
      { vexa: 'call', object: 1, id: 1, method: 'Open', args: 'x' },
      { vexa: 'call', object: 1, id: 1, method: 'OpenSesame', args: [] },
      { vexa: 'answer', object: 1, id: 1, answer: 'ok' },
      { vexa: 'close', object: 1, extra: true },
      ['call', 1, 1, 'Open', ['x']],
      'Open',
      null,
    ];
    for (const message of forged) window.postMessage(message, '*');
    // A frame of the page posting the one valid form to its parent: not the
    // page's own window, so ignored.
    document.querySelector('iframe').contentWindow.eval(
      "parent.postMessage({ vexa: 'call', object: 1, id: 7, method: 'Open', args: ['x'] }, '*')");
    // Resolves once every message posted before has been handled.
    const handled = (mark) => new Promise((resolve) => {
      window.addEventListener('message', ({ data }) => data === mark && resolve());
      window.postMessage(mark, '*');
    });
    await handled('the relay has judged the forged messages');
    // The real call takes the path a forged one would have taken, to the
    // same host, which answers in order.
    const version = await document.getElementById('card').GetVersion(0);
    await handled('its answer has been counted');
    return { version, answers };
  });
  let probed = false;
  probe.finally(() => { probed = true; }).catch(() => {});
  await until(() => probed || popups.length > 0, 'the call after the forged messages to be answered');
  assert.deepEqual(popups, [], 'no question was asked');
  assert.deepEqual(await probe, { version: '2.0.0.2', answers: 1 }, 'only the real call was answered');
  assert.equal(browser.hostPids().length, before + 1, 'no host was started but the real call\'s');

  // The real call asks about the real address; a forged "ok" meanwhile does not answer it.
  const popup = browser.nextPopup();
  const open = call(page, 'Open', ['real']);
  const box = await popup;
  await page.evaluate(() => {
    window.postMessage({ answer: 'ok' }, '*');
    window.postMessage({ question: 'x', answer: 'ok' }, '*');
  });
  assert.equal((await crowdQuestion(page)).refusal, TOO_MANY_WAITING, 'the host still waits for the answer');
  assert.equal(box.isClosed(), false, 'the question is still open');
  assert.equal(await box.textContent('#text'), `Darf von ${site.url('/forged')} auf Chipkartenleser zugegriffen werden?`);
  await answer(box, () => box.click('text=Abbrechen'));
  assert.deepEqual(await open, { result: 992211 });
  await page.close();
});

test('a tab starts at most 16 hosts; the objects past them are told why', async () => {
  const many = Array.from({ length: 40 }, (_, i) => `<object id="o${i}" type="application/chipcard_plugin_20"></object>`).join('');
  const page = await browser.open(site.page('/many/index.html', pageHtml(many)));
  const { results, reasons } = await page.evaluate(async () => {
    const objects = [...document.querySelectorAll('object')];
    const reasons = [];
    for (const element of objects) element.addEventListener('disconnect', (event) => reasons.push(event.detail.reason));
    const results = await Promise.all(objects.map((element) => element.GetVersion(0).catch((error) => error.message)));
    return { results, reasons };
  });
  const refused = goneError(TOO_MANY_IN_TAB);
  assert.equal(results.filter((result) => result === '2.0.0.2').length, 16);
  assert.equal(results.filter((result) => result === refused).length, 24);
  assert.deepEqual(reasons, Array(24).fill(TOO_MANY_IN_TAB));
  assert.equal(browser.hostPids().length, 16);

  // A place comes free when a host ends; a refused object then gets one.
  await page.evaluate(() => document.getElementById('o0').remove());
  await until(() => browser.hostPids().length === 15, 'the removed object\'s host to end');
  assert.deepEqual(await call(page, 'GetVersion', [0], `o${results.indexOf(refused)}`), { result: '2.0.0.2' });
  await page.close();
  await until(() => browser.hostPids().length === 0, 'the hosts to end with the page');
});

// Each frame's outcomes and "disconnect" reasons, flattened.
async function greedyOutcomes(page) {
  const outcomes = [];
  const reasons = [];
  for (const frame of page.frames()) {
    outcomes.push(...(await frame.evaluate(() => window.outcomes)));
    reasons.push(...(await frame.evaluate(() => window.reasons)));
  }
  return { outcomes, reasons };
}

test('hostile tabs cannot crowd out another: idle unadmitted hosts make room, admitted ones stay', async () => {
  const origins = [site, ...(await Promise.all([1, 2, 3].map(() => Site.start())))];
  try {
    const count = (list, value) => list.filter((item) => item === value).length;
    // A page waiting for its question's turn holds calls on a host that is
    // idle and not admitted; it came first, so its host is the idlest.
    const waiting = await browser.open(site.page('/waiting/index.html', waitingPage()));
    const question = browser.nextPopup();
    await waiting.evaluate(() => window.ask());
    const box = await question;
    assert.equal(await waiting.evaluate(() => window.hold()), TOO_MANY_WAITING, 'the host holds the waiter\'s calls');

    const frames = origins.slice(1).map((origin) => origin.page('/greedy/frame.html', greedyPage()));
    const greedy = site.page('/greedy/index.html', greedyPage(frames));
    const tabs = [];
    for (let tab = 0; tab < 4; tab += 1) {
      const page = await browser.open(greedy);
      tabs.push(page);
      const { outcomes, reasons } = await greedyOutcomes(page);
      assert.equal(outcomes.length, 64, 'four frame origins of 16 objects');
      assert.equal(count(outcomes, '2.0.0.2'), 16, `tab ${tab} gets 16 hosts across its frames`);
      assert.equal(count(outcomes, goneError(TOO_MANY_IN_TAB)), 48);
      assert.equal(count(reasons, TOO_MANY_IN_TAB), 48);
    }
    assert.equal(browser.hostPids().length, 64, 'every place in the browser is taken');

    // The last greedy tab's 16 hosts took two places: the waiter's first,
    // whose pending calls are told why, then the idlest greedy one.
    const held = await waiting.evaluate(() => window.held);
    const madeRoom = goneError(MADE_ROOM);
    assert.deepEqual(held[0], { error: madeRoom }, 'the waiter\'s Open');
    assert.ok(held.every(({ error }) => error === madeRoom || error === TOO_MANY_WAITING), JSON.stringify(held));
    assert.ok(count(held.map(({ error }) => error), madeRoom) > 1, 'calls held behind Open are told too');
    const evicted = async () => {
      let n = 0;
      for (const page of tabs) n += count((await greedyOutcomes(page)).reasons, MADE_ROOM);
      return n;
    };
    assert.equal(await evicted(), 1);
    // The question on screen kept the asker's host; the user now refuses it.
    await answer(box, () => box.click('text=Abbrechen'));
    assert.deepEqual(await waiting.evaluate(() => window.asked), { result: 992211 });

    const bank = await browser.open(site.page('/bank/index.html'));
    assert.deepEqual(await call(bank, 'GetVersion', [0]), { result: '2.0.0.2' }, 'a tab without a host gets one');
    await until(async () => (await evicted()) === 2, 'the page of the host that made room to be told');
    assert.equal((await openWithAnswer(browser, bank, 'OK')).result, 0);

    // Now the bank's host and the refused asker's are the idlest. A fifth
    // greedy tab takes 16 places: the asker's and 15 greedy ones; the
    // admitted bank keeps its host and its state.
    for (const page of tabs) {
      for (const frame of page.frames()) await frame.evaluate(() => window.touch());
    }
    const fifth = await browser.open(greedy);
    tabs.push(fifth);
    assert.equal(count((await greedyOutcomes(fifth)).outcomes, '2.0.0.2'), 16);
    await until(async () => (await evicted()) === 17, 'fifteen more greedy hosts to make room');
    assert.deepEqual(await waiting.evaluate(() => window.reasons), [['waiter', MADE_ROOM], ['asker', MADE_ROOM]]);
    assert.deepEqual(await call(bank, 'GetLastErrorCode'), { result: 0 }, 'the bank\'s control is the admitted one');
    await until(() => browser.hostPids().length === 64, 'the hosts that made room to end');
    assert.equal(await evicted(), 17, 'and no more');
    for (const page of [...tabs, waiting, bank]) await page.close();
    await until(() => browser.hostPids().length === 0, 'the hosts to end with their tabs');
  } finally {
    await Promise.all(origins.slice(1).map((origin) => origin.close()));
  }
});
