// Drives a headless Chromium through the operator's pages of a running
// server and checks what each shows, failing on any browser console error;
// then checks that the pages can be used by everyone: the keyboard reaches
// the header's links in order with a visible focus, states read as words,
// and axe-core finds no breach of the WCAG 2.1 A and AA rules in any page.
//
// Environment:
//   TAVOREN_UI_URL          the pages' root, e.g. http://127.0.0.1:PORT/ui/
//   TAVOREN_UI_ACCESS_KEY   an operator's access key
//   TAVOREN_UI_SECRET_KEY   its secret key (never printed)
//   TAVOREN_UI_SHOTS        a folder for one screenshot per step
//   TAVOREN_UI_SCENARIO     a JSON file naming the machines and actions to look for
//   TAVOREN_UI_LOST_WITHIN_S  how long a killed machine may take to show lost (30)
//   TAVOREN_UI_NODE_DIR     where scripts/web-test-deps.sh put playwright-core
//                           and axe-core (NODE_PATH's folders are searched too)
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

const require = createRequire(import.meta.url);
const starts = [env.TAVOREN_UI_NODE_DIR, ...(env.NODE_PATH ?? '').split(path.delimiter), process.cwd()].filter(Boolean);

function loadPlaywright() {
  return require(require.resolve('playwright-core', { paths: starts }));
}

// axe-core's browser bundle, as text to add to each page audited.
function loadAxe() {
  const main = require.resolve('axe-core', { paths: starts });
  return fs.readFileSync(path.join(path.dirname(main), 'axe.min.js'), 'utf8');
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
// The rules axe-core runs: WCAG 2.0 and 2.1, levels A and AA.
const WCAG_TAGS = ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa'];
const LIVENESS_WORD = /\b(alive|unresponsive|lost)\b/;
const HEALTH_WORD = /\b(healthy|quarantined|unknown)\b/;
const machineRow = (id) => `[data-test="machine"][data-id=${css(id)}]`;

function check(condition, what) {
  if (!condition) throw new Error(what);
}

// Runs in the page: what it has focused, told by selectors and computed
// styles only, with the contrast of its focus outline against what shows
// just outside it (null for an indicator drawn by a shadow alone).
function focused() {
  const node = document.activeElement;
  if (!node || node === document.body) return { name: 'the page itself', body: true };
  const style = getComputedStyle(node);
  const outline = style.outlineStyle !== 'none' && Number.parseFloat(style.outlineWidth) > 0;
  const shadow = Boolean(style.boxShadow) && style.boxShadow !== 'none';
  const box = node.getBoundingClientRect();
  const rgba = (text) => (text.match(/[\d.]+/g) ?? []).map(Number);
  const luminance = ([r, g, b]) => {
    const channel = (v) => {
      const c = v / 255;
      return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
    };
    return 0.2126 * channel(r) + 0.7152 * channel(g) + 0.0722 * channel(b);
  };
  // The first painted background at (x, y) outside the node, whatever
  // element paints it: the page may lay one element over another.
  const backgroundAt = (x, y) => {
    let under = document.elementsFromPoint(x, y).find((e) => e !== node && !node.contains(e));
    for (; under; under = under.parentElement) {
      const colour = rgba(getComputedStyle(under).backgroundColor);
      if (colour.length === 3 || (colour.length === 4 && colour[3] > 0)) return colour.slice(0, 3);
    }
    return [255, 255, 255];
  };
  let contrast = null;
  if (outline) {
    // The lowest contrast of the outline with what it is drawn over, in
    // the middle of its band on each side (within the window).
    const ring = Number.parseFloat(style.outlineOffset) + Number.parseFloat(style.outlineWidth) / 2;
    const clampX = (x) => Math.min(Math.max(x, 0), innerWidth - 1);
    const clampY = (y) => Math.min(Math.max(y, 0), innerHeight - 1);
    const [midX, midY] = [clampX(box.left + box.width / 2), clampY(box.top + box.height / 2)];
    const sides = [[box.left - ring, midY], [box.right + ring, midY], [midX, box.top - ring], [midX, box.bottom + ring]]
      .filter(([x, y]) => x >= 0 && y >= 0 && x < innerWidth && y < innerHeight);
    const ink = luminance(rgba(style.outlineColor));
    for (const [x, y] of sides) {
      const paper = luminance(backgroundAt(x, y));
      const ratio = (Math.max(ink, paper) + 0.05) / (Math.min(ink, paper) + 0.05);
      contrast = contrast === null ? ratio : Math.min(contrast, ratio);
    }
  }
  const test = node.dataset?.test ?? null;
  const href = node.getAttribute('href');
  let name = node.tagName.toLowerCase();
  if (node.id) name += `#${node.id}`;
  if (node.classList.length) name += `.${[...node.classList].join('.')}`;
  if (test) name += `[data-test="${test}"]`;
  if (href) name += `[href="${href}"]`;
  return {
    name,
    test,
    href,
    id: node.id || null,
    skip: node.classList.contains('skip'),
    inHeader: Boolean(node.closest('header')),
    inMain: Boolean(node.closest('main')),
    nav: Boolean(node.closest('header nav')),
    indicator: outline || shadow,
    contrast,
    onScreen: box.width > 0 && box.height > 0 && box.left >= 0 && box.top >= 0 && box.right <= innerWidth && box.bottom <= innerHeight,
  };
}

// A focus indicator must show, and an outline must stand out from what is
// behind it by at least 3:1 (WCAG's contrast for what is not text).
function checkIndicator(now, tab) {
  check(now.indicator, `Tab ${tab} reached ${now.name}, which shows no focus outline or shadow`);
  check(now.contrast === null || now.contrast >= 3, `Tab ${tab} reached ${now.name}, whose focus outline has a contrast of ${now.contrast?.toFixed(2)}:1 with what is behind it`);
}

// From the top of the page, the first `tabs` presses of Tab each reach an
// element with a visible focus indicator (fewer when the focus leaves the page).
async function checkFocusSweep(page, tabs) {
  await page.evaluate(() => {
    document.activeElement?.blur();
    window.scrollTo(0, 0);
  });
  for (let i = 0; i < tabs; i += 1) {
    await page.keyboard.press('Tab');
    const now = await page.evaluate(focused);
    if (now.body) break;
    checkIndicator(now, i + 1);
  }
}

// From the top of the page, Tab reaches the skip link, then the header's
// links (the main navigation's in order) and the sign-out button, each
// with a visible focus indicator; the skip link, followed, leads into main.
async function checkKeyboard(page) {
  const navLinks = await page.evaluate(() => [...document.querySelectorAll('header nav a')].map((a) => a.getAttribute('href')));
  check(navLinks.length > 0, 'the header has no navigation link');
  const seen = [];
  for (let i = 0; i < 12; i += 1) {
    await page.keyboard.press('Tab');
    const now = await page.evaluate(focused);
    seen.push(now);
    checkIndicator(now, i + 1);
    if (now.test === 'sign-out') break;
  }
  check(seen[0].skip, `the first Tab reached ${seen[0].name}, not the skip link`);
  check(seen[0].onScreen, 'the focused skip link is not on the screen');
  const last = seen[seen.length - 1];
  check(last.test === 'sign-out', `12 Tabs did not reach the sign-out button (the last reached ${last.name})`);
  const between = seen.slice(1, -1);
  const stray = between.find((f) => !f.inHeader);
  check(!stray, `Tab reached ${stray?.name} between the skip link and the header's sign-out button`);
  const reached = between.filter((f) => f.nav).map((f) => f.href);
  check(
    JSON.stringify(reached) === JSON.stringify(navLinks),
    `Tab reached the navigation links ${reached.join(', ') || 'none'}, not ${navLinks.join(', ')}`,
  );
  await page.focus('a.skip');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.activeElement?.id === 'main').catch(() => {
    throw new Error('following the skip link did not move the focus to the main content');
  });
  await page.keyboard.press('Tab');
  const after = await page.evaluate(focused);
  check(after.inMain, `after the skip link, Tab reached ${after.name}, not a control in the main content`);
  checkIndicator(after, 'after the skip link');
}

// Each machine's liveness and each GPU's health read as a word, so that
// colour only repeats them.
async function checkStatesInWords(page, gpuMachine) {
  const found = await page.evaluate(() => {
    const words = (nodes) => [...nodes].map((node) => node.textContent.trim());
    return {
      liveness: [...document.querySelectorAll('[data-test="machine"]')].map((row) => ({
        id: row.dataset.id,
        state: row.dataset.liveness,
        text: row.querySelector('[data-test="liveness"]')?.textContent.trim() ?? '',
        summary: row.querySelector('[data-test="gpu-health-summary"]')?.textContent.trim() ?? null,
        gpus: words(row.querySelectorAll('[data-test="gpu"] [data-test="gpu-health"]')),
        gpuRows: row.querySelectorAll('[data-test="gpu"]').length,
      })),
    };
  });
  const rows = found.liveness;
  check(rows.length > 0, 'the fleet shows no machine');
  for (const row of rows) {
    check(LIVENESS_WORD.test(row.text) && row.text.includes(row.state), `${row.id}'s liveness (${row.state}) is not shown in words`);
    check(row.summary !== null && /[a-z]{2,}/i.test(row.summary), `${row.id}'s GPU health has no words`);
    check(row.gpus.length === row.gpuRows, `${row.id} has ${row.gpuRows} GPU row(s) but ${row.gpus.length} health cell(s)`);
    const bad = row.gpus.findIndex((text) => !HEALTH_WORD.test(text));
    check(bad < 0, `GPU ${bad} of ${row.id} shows its health without a word`);
  }
  const withGpus = rows.find((row) => row.id === gpuMachine);
  check(withGpus && withGpus.gpus.length > 0, `the fleet shows no GPU health of ${gpuMachine}`);
}

// Runs in the page: axe-core's WCAG checks over the whole document, each
// broken rule with its impact and its first few nodes' selectors (never the
// nodes' text); and ids used twice, which axe-core no longer counts under
// WCAG 2.1 but which break labels and headers that name an element by id.
async function runAxe(tags) {
  const result = await window.axe.run(document, { runOnly: { type: 'tag', values: tags }, resultTypes: ['violations'] });
  const found = result.violations.map((v) => ({
    id: v.id,
    impact: v.impact,
    count: v.nodes.length,
    targets: v.nodes.slice(0, 3).map((n) => n.target.map(String).join(' >> ')),
  }));
  const uses = new Map();
  for (const node of document.querySelectorAll('[id]')) uses.set(node.id, (uses.get(node.id) ?? 0) + 1);
  const twice = [...uses].filter(([, n]) => n > 1).map(([id]) => `#${CSS.escape(id)}`);
  if (twice.length) found.push({ id: 'duplicate-id', impact: 'serious', count: twice.length, targets: twice.slice(0, 3) });
  return found;
}

async function main() {
  const s = settings();
  const { chromium } = loadPlaywright();
  const axeSource = loadAxe();
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
  const watch = (watched) => {
    watched.on('console', (message) => {
      if (message.type() !== 'error') return;
      // The browser's own look for a site icon is none of the pages' doing.
      if (/\/favicon\.ico$/.test(message.location().url ?? '')) return;
      consoleErrors.push(`console: ${message.text()}`);
    });
    watched.on('pageerror', (error) => consoleErrors.push(`page error: ${error.message}`));
  };
  watch(page);
  const url = (rest) => new URL(rest, s.base).toString();
  let failures = 0;
  let shot = 0;

  // Runs one step; the console must stay clean, except for the 401s the
  // step expects (a refused sign-in, a call after signing out).
  // `shows` is the page the screenshot is of.
  async function step(name, body, { expect401 = false, whole = false, shows = page } = {}) {
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
    await shows.screenshot({ path: file, fullPage: whole }).catch(() => {});
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

    await step('keyboard', async () => {
      await page.goto(url('fleet'));
      await page.waitForSelector('[data-test="sign-out"]');
      await checkKeyboard(page);
    });

    await step('states-in-words', async () => {
      await page.goto(url('fleet'));
      await page.waitForSelector(`${machineRow(scenario.gpuMachine)} [data-test="gpu"]`);
      await checkStatesInWords(page, scenario.gpuMachine);
    }, { whole: true });

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

  if (signedIn) {
    // axe-core is added to each page as an inline script, which the pages'
    // policy forbids: this second context alone runs without it, so that
    // every step above ran under the real policy.
    const auditContext = await browser.newContext({ viewport: { width: 1280, height: 800 }, bypassCSP: true });
    auditContext.setDefaultTimeout(10000);
    const audited = await auditContext.newPage();
    watch(audited);
    const { scenario } = s;
    const audit = async () => {
      await audited.addScriptTag({ content: axeSource });
      const found = await audited.evaluate(runAxe, WCAG_TAGS);
      for (const v of found) log(`     ${v.id} (${v.impact}, ${v.count} node(s)): ${v.targets.join(' | ')}`);
      check(found.length === 0, `${found.length} accessibility rule(s) broken: ${found.map((v) => v.id).join(', ')}`);
      await checkFocusSweep(audited, 15);
    };
    const pages = [
      ['sign-in', 'sign-in', '#sign-in'],
      ['fleet', 'fleet', machineRow(scenario.gpuMachine)],
      ['queue', 'queue', `[data-test="queued"][data-id=${css(scenario.queuedAction)}]`],
      ['running-action', `action?id=${encodeURIComponent(scenario.runningAction)}`, '[data-test="action-fields"][data-state="assigned"]'],
      ['ended-action', `action?id=${encodeURIComponent(scenario.endedAction)}`, '[data-test="action-fields"][data-state="ended"]'],
      ['machine', `machine?id=${encodeURIComponent(scenario.gpuMachine)}`, '[data-test="gpu-chart"] svg[data-test="chart-utilisation"]'],
    ];
    for (const [name, where, ready] of pages) {
      await step(`a11y-${name}`, async () => {
        await audited.goto(url(where));
        await audited.waitForSelector(ready);
        if (name === 'sign-in') {
          // Audited before signing in; the later pages need the session.
          let problem = null;
          await audit().catch((error) => {
            problem = error;
          });
          await audited.fill('#access-key', s.access);
          await audited.fill('#secret-key', secret);
          await Promise.all([audited.waitForURL(/\/ui\/fleet/), audited.click('#submit')]);
          if (problem) throw problem;
        } else await audit();
      }, { shows: audited });
    }
    await auditContext.close();
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
