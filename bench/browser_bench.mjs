// Browser bench: the cost of a call page -> extension -> vexa-host -> page in
// Debian's Chromium, the start of a host, and the host's peak memory.
//   node bench/browser_bench.mjs [CALLS] [STARTS]   (defaults 1000 and 20)
// Needs a build (VEXA_BUILD_DIR, else build/) and `npm ci` in tests/browser
// (testbed/common.sh: vexa_install_browser).

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import { benchArgs } from './bench_args.mjs';

const [CALLS, STARTS] = benchArgs('node bench/browser_bench.mjs [CALLS] [STARTS]   (defaults 1000 and 20)', [1000, 20]);
const { Browser, EXTENSION_ID, HOST, Site, openWithAnswer, pageHtml } = await import('../tests/browser/harness.js');
const GOALS = { callMedianMs: 2, startMs: 20, peakKiB: 8 * 1024 };

function quantile(values, q) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

function peakKiB(pid) {
  const match = /VmHWM:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
  return match ? Number(match[1]) : NaN;
}

// CALLS sequential GetVersion(0) calls, each timed in the page.
function timeCalls(page, count) {
  return page.evaluate(async (n) => {
    const card = document.getElementById('card');
    for (let i = 0; i < 50; i++) await card.GetVersion(0); // warm up
    const times = [];
    for (let i = 0; i < n; i++) {
      const start = performance.now();
      await card.GetVersion(0);
      times.push(performance.now() - start);
    }
    return times;
  }, count);
}

// A new object per sample: the host's own start (connectNative to "ready",
// measured in the worker) and the page's wait for its first answer.
function timeStarts(page, count) {
  return page.evaluate(async (n) => {
    const samples = [];
    for (let i = 0; i < n; i++) {
      const card = document.createElement('object');
      card.type = 'application/chipcard_plugin_20';
      document.body.append(card);
      const ready = new Promise((resolve) => card.addEventListener('ready', (e) => resolve(e.detail.startMs)));
      const start = performance.now();
      await card.GetVersion(0);
      const firstCall = performance.now() - start;
      samples.push({ startMs: await ready, firstCall });
      card.remove();
    }
    return samples;
  }, count);
}

// The host alone, started as the browser starts it: spawn, hello, time to
// its "ready". Tells the host's share of the start from the browser's.
async function timeHostAlone(count, env) {
  const hello = Buffer.from(JSON.stringify({ hello: { url: 'http://127.0.0.1/bench/index.html', browser: 'bench' } }));
  const frame = Buffer.concat([Buffer.alloc(4), hello]);
  frame.writeUInt32LE(hello.length, 0);
  const times = [];
  for (let i = 0; i < count; i++) {
    const start = performance.now();
    const host = spawn(HOST, [`chrome-extension://${EXTENSION_ID}/`], { env, stdio: ['pipe', 'pipe', 'ignore'] });
    await new Promise((resolve, reject) => {
      host.on('error', reject);
      host.stdout.once('data', resolve);
      host.stdin.write(frame);
    });
    times.push(performance.now() - start);
    host.stdin.end();
    await new Promise((resolve) => host.on('close', resolve));
  }
  return times;
}

const site = await Site.start();
const browser = new Browser();
browser.useProtocolDir('LOGLEVEL=OFF\n');
try {
  await browser.start();
  const page = await browser.open(site.page('/bench/index.html', pageHtml()));
  // Admitted, as a page at work is.
  await openWithAnswer(browser, page, 'OK');
  const [pid] = browser.hostPids();
  const calls = await timeCalls(page, CALLS);
  const peak = peakKiB(pid);
  const starts = await timeStarts(page, STARTS);
  const alone = await timeHostAlone(STARTS, { ...process.env, HOME: browser.home, XDG_CONFIG_HOME: browser.configHome });
  const startMs = starts.map((s) => s.startMs);
  const firstCalls = starts.map((s) => s.firstCall);

  const rows = [
    ['GetVersion page -> host -> page, median', `${quantile(calls, 0.5).toFixed(3)} ms`, `<= ${GOALS.callMedianMs} ms`, quantile(calls, 0.5) <= GOALS.callMedianMs],
    ['GetVersion, p99', `${quantile(calls, 0.99).toFixed(3)} ms`, '', null],
    [`host start (connect -> ready), median of ${STARTS}`, `${quantile(startMs, 0.5).toFixed(1)} ms`, `< ${GOALS.startMs} ms`, quantile(startMs, 0.5) < GOALS.startMs],
    ['host start alone (spawn -> ready, no browser), median', `${quantile(alone, 0.5).toFixed(1)} ms`, '', null],
    ['first call on a new object (incl. start), median', `${quantile(firstCalls, 0.5).toFixed(1)} ms`, '', null],
    ['first call on a new object, max', `${Math.max(...firstCalls).toFixed(1)} ms`, '', null],
    [`vexa-host peak memory (VmHWM) after ${CALLS} calls`, `${(peak / 1024).toFixed(2)} MiB`, `< ${GOALS.peakKiB / 1024} MiB`, peak < GOALS.peakKiB],
  ];
  const widths = [0, 1, 2].map((i) => Math.max(...rows.map((row) => row[i].length), 6));
  console.log(`Chromium ${browser.extensionId} extension, ${CALLS} sequential calls, ${STARTS} host starts\n`);
  console.log(`${'measure'.padEnd(widths[0])}  ${'value'.padStart(widths[1])}  ${'goal'.padEnd(widths[2])}  met`);
  for (const [name, value, goal, met] of rows) {
    console.log(`${name.padEnd(widths[0])}  ${value.padStart(widths[1])}  ${goal.padEnd(widths[2])}  ${met === null ? '' : met ? 'yes' : 'NO'}`);
  }
} finally {
  await browser.remove();
  await site.close();
}
