// Page event bench: the test bed's second card inserted and removed, and the
// OnCardReady / OnCardRemoved events at a page in Debian's Chromium, against
// the moment pcscd wakes a client blocked in SCardGetStatusChange
// (`vexa_event_bench watch`; both sides read the system clock).
//   VEXA_TESTBED_DIR=... node bench/browser_event_bench.mjs [CYCLES]   (default 20)
// Needs a build (VEXA_BUILD_DIR, else build/) and `npm ci` in tests/browser.

import { execFileSync, spawn } from 'node:child_process';
import path from 'node:path';
import readline from 'node:readline';
import { benchArgs } from './bench_args.mjs';

const [CYCLES] = benchArgs('VEXA_TESTBED_DIR=... node bench/browser_event_bench.mjs [CYCLES]   (default 20)', [20]);
const { BUILD, Browser, Site, call, openWithAnswer, until } = await import('../tests/browser/harness.js');
const BED = process.env.VEXA_TESTBED_DIR ?? '';
const READER = 'Virtual PCD 00 01';
const GOALS = { medianMs: 20, worstMs: 40 };

function moveCard(request) {
  execFileSync(path.join(BUILD, 'testbed', 'vexa-card'), ['ctl', path.join(BED, 'card1.sock'), request], { stdio: 'ignore' });
}

function quantile(values, q) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

// pcscd's moments, as the watcher prints them.
async function startWatcher() {
  const watcher = spawn(path.join(BUILD, 'bench', 'vexa_event_bench'), ['watch'], { stdio: ['pipe', 'pipe', 'inherit'] });
  const moments = [];
  const lines = readline.createInterface({ input: watcher.stdout });
  await new Promise((resolve, reject) => {
    watcher.on('error', reject);
    watcher.on('exit', (code) => reject(new Error(`vexa_event_bench watch ended (${code})`)));
    lines.on('line', (line) => {
      if (line === 'watching') return resolve();
      const [present, ms] = line.split(' ');
      moments.push({ present: present === '1', ms: Number(ms) });
    });
  });
  return { moments, stop: () => watcher.stdin.end() };
}

if (!BED) throw new Error('VEXA_TESTBED_DIR is not set: start testbed/start_testbed.sh first');
moveCard('reset');
moveCard('insert');
const site = await Site.start();
const browser = new Browser();
browser.useProtocolDir('LOGLEVEL=OFF\n');
const watcher = await startWatcher();
const late = { true: [], false: [] };
try {
  await browser.start();
  const page = await browser.open(site.page('/bench/events.html'));
  await openWithAnswer(browser, page, 'OK');
  await page.evaluate((reader) => {
    window.seen = [];
    const card = document.getElementById('card');
    for (const name of ['OnCardReady', 'OnCardRemoved'])
      card.addEventListener(name, (event) => {
        if (event.detail[0] === reader) window.seen.push({ present: name === 'OnCardReady', ms: performance.timeOrigin + performance.now() });
      });
  }, READER);
  await call(page, 'SetMode', ['INTERFACE', 'PCSC']);
  await call(page, 'EnableEvents', ['bench']);
  const seen = () => page.evaluate(() => window.seen);
  await until(async () => (await seen()).length > 0, 'the first OnCardReady');
  for (let i = 0; i < CYCLES; i++) {
    for (const present of [false, true]) {
      watcher.moments.length = 0;
      await page.evaluate(() => { window.seen = []; });
      moveCard(present ? 'insert' : 'remove');
      await until(() => watcher.moments.some((m) => m.present === present), 'pcscd');
      await until(async () => (await seen()).some((m) => m.present === present), 'the page');
      const reference = watcher.moments.find((m) => m.present === present).ms;
      const reported = (await seen()).find((m) => m.present === present).ms;
      late[present].push(reported - reference);
    }
  }
  await call(page, 'DisableEvents');
} finally {
  watcher.stop();
  await browser.remove();
  await site.close();
}

console.log(`Chromium, ${CYCLES} cycles: event at the page, ms after pcscd woke a blocking waiter\n`);
console.log(`${'event'.padEnd(30)} ${'best'.padStart(7)} ${'median'.padStart(7)} ${'p90'.padStart(7)} ${'worst'.padStart(7)}  goal (median/worst)  met`);
for (const [present, name] of [[true, 'card inserted -> OnCardReady'], [false, 'card removed -> OnCardRemoved']]) {
  const values = late[present];
  const [best, median, p90, worst] = [0, 0.5, 0.9, 1].map((q) => quantile(values, q));
  const met = median <= GOALS.medianMs && worst <= GOALS.worstMs;
  console.log(`${name.padEnd(30)} ${[best, median, p90, worst].map((v) => v.toFixed(1).padStart(7)).join(' ')}  ${`${GOALS.medianMs} / ${GOALS.worstMs} ms`.padEnd(19)}  ${met ? 'yes' : 'NO'}`);
}
