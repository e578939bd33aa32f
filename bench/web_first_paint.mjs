// The fleet page's first paint and the time until its first page of
// machines is drawn, in headless Chromium, on a server that bench_web_pages
// runs; five loads in one signed-in browser, the first one with an empty
// cache. Prints one line per load and the worst.
//
// Environment: TAVOREN_UI_URL (the pages' root), TAVOREN_UI_ACCESS_KEY,
// TAVOREN_UI_SECRET_KEY, TAVOREN_UI_NODE_DIR (playwright-core, from
// scripts/web-test-deps.sh).
import { createRequire } from 'node:module';

const env = process.env;
const require = createRequire(import.meta.url);
const { chromium } = require(require.resolve('playwright-core', { paths: [env.TAVOREN_UI_NODE_DIR ?? process.cwd()] }));
const base = env.TAVOREN_UI_URL.endsWith('/') ? env.TAVOREN_UI_URL : `${env.TAVOREN_UI_URL}/`;

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
try {
  const page = await (await browser.newContext({ viewport: { width: 1280, height: 800 } })).newPage();
  await page.goto(new URL('sign-in', base).toString());
  await page.fill('#access-key', env.TAVOREN_UI_ACCESS_KEY);
  await page.fill('#secret-key', env.TAVOREN_UI_SECRET_KEY);
  await Promise.all([page.waitForURL(/\/ui\/fleet/), page.click('#submit')]);
  let worst = 0;
  for (let load = 1; load <= 5; load += 1) {
    const started = Date.now();
    await page.goto(new URL('fleet', base).toString());
    await page.waitForFunction(() => document.querySelectorAll('[data-test="machine"]').length >= 50);
    const drawn = Date.now() - started;
    const paint = await page.evaluate(() =>
      performance.getEntriesByName('first-contentful-paint')[0]?.startTime ?? -1);
    worst = Math.max(worst, drawn);
    console.log(`load ${load}: first paint ${paint.toFixed(0)} ms, 50 machines drawn ${drawn} ms`);
  }
  console.log(`worst: 50 machines drawn within ${worst} ms (target: first paint within 1000 ms)`);
} finally {
  await browser.close();
}
