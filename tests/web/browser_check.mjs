// Drives a headless Chromium through the operator's pages of a running
// server and checks what each shows, failing on any browser console error.
//
// Environment:
//   TAVOREN_UI_URL          the pages' root, e.g. http://127.0.0.1:PORT/ui/
//   TAVOREN_UI_ACCESS_KEY   an operator's access key
//   TAVOREN_UI_SECRET_KEY   its secret key (never printed)
//   TAVOREN_UI_SHOTS        a folder for one screenshot per step
//   TAVOREN_UI_SCENARIO     a JSON file naming the machines and actions to look for
//   TAVOREN_UI_LOST_WITHIN_S  how long a killed machine may take to show lost (30)
//   TAVOREN_UI_NODE_DIR     where scripts/web-test-deps.sh put playwright-core
//                           (NODE_PATH's folders are searched too)
//   TAVOREN_UI_CHROMIUM     the browser (/usr/bin/chromium)
// Exits 0 when every step passes, 1 otherwise.
import fs from 'node:fs';
import path from 'node:path';
import { createRequire } from 'node:module';

const env = process.env;
const secret = env.TAVOREN_UI_SECRET_KEY ?? '';

// Every line this script prints goes through here: the secret never shows.
function redact(text) {
  let out = String(text);
  if (secret) out = out.split(secret).join('***');
  return out;
}
const log = (line) => console.log(redact(line));

function loadPlaywright() {
  const require = createRequire(import.meta.url);
  const starts = [env.TAVOREN_UI_NODE_DIR, ...(env.NODE_PATH ?? '').split(path.delimiter), process.cwd()].filter(Boolean);
  return require(require.resolve('playwright-core', { paths: starts }));
}

function settings() {
  const missing = ['TAVOREN_UI_URL', 'TAVOREN_UI_ACCESS_KEY', 'TAVOREN_UI_SECRET_KEY', 'TAVOREN_UI_SHOTS', 'TAVOREN_UI_SCENARIO'].filter((k) => !env[k]);
  if (missing.length) throw new Error(`missing environment: ${missing.join(', ')}`);
  const scenario = JSON.parse(fs.readFileSync(env.TAVOREN_UI_SCENARIO, 'utf8'));
  for (const key of ['machines', 'gpuMachine', 'runningAction', 'queuedAction', 'endedAction', 'loseMachine']) {
    if (scenario[key] === undefined) throw new Error(`the scenario names no ${key}`);
  }
  const base = env.TAVOREN_UI_URL.endsWith('/') ? env.TAVOREN_UI_URL : `${env.TAVOREN_UI_URL}/`;
  const lostWithin = Number(env.TAVOREN_UI_LOST_WITHIN_S || 30);
  fs.mkdirSync(env.TAVOREN_UI_SHOTS, { recursive: true });
  return { base, access: env.TAVOREN_UI_ACCESS_KEY, shots: env.TAVOREN_UI_SHOTS, scenario, lostWithin };
}

const css = (value) => JSON.stringify(String(value));
const machineRow = (id) => `[data-test="machine"][data-id=${css(id)}]`;

function check(condition, what) {
  if (!condition) throw new Error(what);
}

async function main() {
  const s = settings();
  const { chromium } = loadPlaywright();
  const browser = await chromium.launch({
    executablePath: env.TAVOREN_UI_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync',
    ],
  });
  // A fresh context: its own empty profile, cookies and storage.
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  context.setDefaultTimeout(10000);
  const page = await context.newPage();
  const consoleErrors = [];
  page.on('console', (message) => {
    if (message.type() !== 'error') return;
    // The browser's own look for a site icon is none of the pages' doing.
    if (/\/favicon\.ico$/.test(message.location().url ?? '')) return;
    consoleErrors.push(`console: ${message.text()}`);
  });
  page.on('pageerror', (error) => consoleErrors.push(`page error: ${error.message}`));
  const url = (rest) => new URL(rest, s.base).toString();
  let failures = 0;
  let shot = 0;

  // Runs one step; the console must stay clean, except for the 401s the
  // step expects (a refused sign-in, a call after signing out).
  async function step(name, body, { expect401 = false, whole = false } = {}) {
    const started = Date.now();
    consoleErrors.length = 0;
    let problem = null;
    try {
      await body();
    } catch (error) {
      problem = error.message.split('\n')[0];
    }
    const errors = consoleErrors.filter((e) => !(expect401 && /status of 401/.test(e)));
    if (!problem && errors.length) problem = `browser console: ${errors.join(' | ')}`;
    shot += 1;
    const file = path.join(s.shots, `${String(shot).padStart(2, '0')}-${name}.png`);
    await page.screenshot({ path: file, fullPage: whole }).catch(() => {});
    const took = `${((Date.now() - started) / 1000).toFixed(1)} s`;
    if (problem) {
      failures += 1;
      log(`FAIL ${name} (${took}): ${problem}`);
    } else log(`ok   ${name} (${took})`);
    return !problem;
  }

  const signedIn = await step(
    'sign-in-refused',
    async () => {
      await page.goto(url('sign-in'));
      await page.fill('#access-key', s.access);
      await page.fill('#secret-key', `${secret}-wrong`);
      await page.click('#submit');
      await page.waitForSelector('[data-test="sign-in-error"]:not([hidden])');
      check(new URL(page.url()).pathname.endsWith('/ui/sign-in'), 'a refused sign-in left the sign-in page');
      check((await page.inputValue('#secret-key')) === '', 'the secret field kept its value after use');
    },
    { expect401: true },
  ).then(() =>
    step('sign-in', async () => {
      await page.fill('#access-key', s.access);
      await page.fill('#secret-key', secret);
      await Promise.all([page.waitForURL(/\/ui\/fleet/), page.click('#submit')]);
      const stored = await page.evaluate(() => localStorage.length + sessionStorage.length);
      check(stored === 0, 'the sign-in page left something in the browser storage');
      check(!page.url().includes(encodeURIComponent(secret)) && !page.url().includes(secret), 'the secret key is in the address');
      await page.waitForFunction((key) => document.querySelector('[data-test="who"]')?.textContent.includes(key), s.access);
    }),
  );

  if (signedIn) {
    const { scenario } = s;
    await step('fleet', async () => {
      await page.goto(url('fleet'));
      for (const id of scenario.machines) await page.waitForSelector(machineRow(id));
      const gpus = await page.locator(`${machineRow(scenario.gpuMachine)} [data-test="gpu"]`).count();
      check(gpus > 0, `the fleet shows no GPU row for ${scenario.gpuMachine}`);
      const heldCell = await page.locator(`${machineRow(scenario.gpuMachine)} [data-test="liveness"]`).textContent();
      check(/alive|unresponsive|lost/.test(heldCell), `the liveness of ${scenario.gpuMachine} is not shown in words`);
    });

    await step('queue', async () => {
      await page.goto(url('queue'));
      const row = `[data-test="queued"][data-id=${css(scenario.queuedAction)}]`;
      await page.waitForSelector(row);
      const text = await page.locator(row).innerText();
      check(text.includes(scenario.queuedReason), `the queued action's reason does not read "${scenario.queuedReason}": ${text}`);
    }, { whole: true });

    await step('running-action-log-grows', async () => {
      await page.goto(url(`action?id=${encodeURIComponent(scenario.runningAction)}`));
      await page.waitForSelector('[data-test="action-fields"][data-state="assigned"]');
      await page.waitForFunction(() => document.getElementById('live')?.textContent === 'Live');
      await page.evaluate(() => {
        window.tavorenCheckMark = true;
      });
      const before = await page.evaluate(() => document.querySelector('[data-test="log"]').textContent.length);
      await page.waitForFunction(
        (length) => document.querySelector('[data-test="log"]').textContent.length > length,
        before,
        { timeout: 6000 },
      ).catch(() => {
        throw new Error(`the log did not grow within 6 s (it holds ${before} characters)`);
      });
      check(await page.evaluate(() => window.tavorenCheckMark === true), 'the page reloaded instead of growing its log');
      const download = await page.getAttribute('[data-test="log-download"]', 'href');
      check(download && download.includes('/ui/api/log/download?'), 'no link to download the log');
    });

    await step('ended-action', async () => {
      await page.goto(url(`action?id=${encodeURIComponent(scenario.endedAction)}`));
      await page.waitForSelector('[data-test="action-fields"][data-state="ended"]');
      const attempts = await page.locator('[data-test="attempts"] tbody tr').count();
      check(attempts > 0, 'the ended action shows no attempt');
      const record = await page.textContent('[data-test="record"]');
      check(record.trim().startsWith('{'), 'the ended action shows no record');
    }, { whole: true });

    await step('gpu-machine', async () => {
      await page.goto(url(`machine?id=${encodeURIComponent(scenario.gpuMachine)}`));
      await page.waitForSelector('[data-test="gpu-chart"] svg[data-test="chart-utilisation"]');
      const drawn = await page.evaluate(() =>
        [...document.querySelectorAll('svg[data-test="chart-utilisation"]')].some((chart) => Number(chart.dataset.points) > 0 && chart.querySelector('.line, .dot')),
      );
      check(drawn, 'no GPU chart has a sample drawn');
    }, { whole: true });

    await step('machine-turns-lost', async () => {
      const lose = scenario.loseMachine;
      await page.goto(url('fleet'));
      await page.waitForSelector(machineRow(lose.instanceId));
      await page.evaluate(() => {
        window.tavorenCheckMark = true;
      });
      process.kill(lose.pid, 'SIGKILL');
      const limit = s.lostWithin * 1000;
      await page
        .waitForSelector(`${machineRow(lose.instanceId)}[data-liveness="lost"]`, { timeout: limit })
        .catch(() => {
          throw new Error(`${lose.instanceId} did not show lost within ${s.lostWithin} s`);
        });
      check(await page.evaluate(() => window.tavorenCheckMark === true), 'the fleet page reloaded instead of updating');
      const word = await page.locator(`${machineRow(lose.instanceId)} [data-test="liveness"]`).textContent();
      check(word.includes('lost'), 'the lost machine does not say lost');
    });

    await step(
      'sign-out',
      async () => {
        await Promise.all([page.waitForURL(/\/ui\/sign-in/), page.click('[data-test="sign-out"]')]);
        await page.goto(url('fleet'));
        await page.waitForURL(/\/ui\/sign-in/);
        check(await page.isVisible('#sign-in'), 'after signing out the fleet did not lead to the sign-in form');
      },
      { expect401: true },
    );
  }

  await browser.close();
  log(failures === 0 && signedIn ? 'browser check: every step passed' : `browser check: ${failures} step(s) failed`);
  return failures === 0 && signedIn ? 0 : 1;
}

const watchdog = setTimeout(() => {
  log('FAIL the browser check ran past 120 s');
  process.exit(1);
}, 120000);
watchdog.unref();

main().then(
  (code) => process.exit(code),
  (error) => {
    log(`FAIL ${error.message.split('\n')[0]}`);
    process.exit(1);
  },
);
