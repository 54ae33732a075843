// The browser demo: Chromium with the extension opens the example page
// (index.html beside this file) from a local server, presses its button,
// answers the site question with OK, prints what the page shows and saves
// screenshots. Usage: node browser_demo.mjs OUTPUT_DIR
// (run through testbed/run_demo.sh, which builds and installs first).

import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { Browser, Site, answer } from '../../tests/browser/harness.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const output = path.resolve(process.argv[2] ?? '.');

const site = await Site.start();
const browser = new Browser();
browser.useProtocolDir();
try {
  await browser.start();
  console.log(`Chromium with the VEXA extension ${browser.extensionId}, host registered in ${browser.profile}`);
  const url = site.page('/bank/index.html', fs.readFileSync(path.join(here, 'index.html'), 'utf8'));
  const page = await browser.open(url);
  await page.setViewportSize({ width: 1000, height: 760 });
  console.log(`Page ${url}`);

  const popup = browser.nextPopup();
  await page.click('#run');
  const question = await popup;
  await question.waitForSelector('#text:not(:empty)');
  const questionShot = path.join(output, 'demo-question.png');
  await question.screenshot({ path: questionShot });
  console.log(`The site question: "${await question.textContent('#caption')}: ${await question.textContent('#text')}" -> OK`);
  await answer(question, () => question.click('text=OK'));

  await page.waitForSelector('body[data-done="yes"]', { timeout: 30000 });
  const rows = await page.$$eval('#rows tr', (trs) => trs.map((tr) => [...tr.cells].map((td) => td.textContent)));
  for (const [call, result, meaning] of rows) {
    const shown = result.length > 300 ? `${result.slice(0, 297)}...` : result;
    console.log(`  -> ${call}${meaning ? `   (${meaning})` : ''}\n  <- ${shown.replace(/\n/g, '\\n')}`);
  }
  console.log(await page.textContent('#status'));
  // The event monitor polls every 100 ms: give it a moment to report.
  await page.waitForTimeout(1000);
  const events = await page.$$eval('#events tr', (trs) => trs.map((tr) => tr.textContent));
  console.log(`Events on the page (${events.length}):`);
  for (const event of events) console.log(`  ${event}`);
  const pageShot = path.join(output, 'demo.png');
  await page.screenshot({ path: pageShot, fullPage: true });
  console.log(`Screenshots: ${pageShot} and ${questionShot}`);
} finally {
  await browser.remove();
  await site.close();
}
