// What every signed-in page shares: data calls, the header, the live
// stream with its coalesced refetch, relative times and small DOM helpers.
// Server data only ever reaches the page through textContent and attributes.

export const SIGN_IN = '/ui/sign-in';

// Thrown after a 401 has sent the page to the sign-in form; callers stay
// quiet about it.
export class SignedOut extends Error {}

export function toSignIn() {
  const next = location.pathname + location.search;
  location.replace(`${SIGN_IN}?next=${encodeURIComponent(next)}`);
}

export async function api(path) {
  const answer = await fetch(path, {
    headers: { Accept: 'application/json' },
    credentials: 'same-origin',
    cache: 'no-store',
  });
  if (answer.status === 401) {
    toSignIn();
    throw new SignedOut('signed out');
  }
  let body = null;
  try {
    body = await answer.json();
  } catch {
    body = null;
  }
  if (!answer.ok) {
    const said = body && typeof body.error === 'string' ? body.error : answer.statusText;
    throw new Error(`${answer.status}: ${said}`);
  }
  return body;
}

export function post(path, body) {
  return fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', Accept: 'application/json' },
    credentials: 'same-origin',
    cache: 'no-store',
    body: JSON.stringify(body ?? {}),
  });
}

// ---- DOM -------------------------------------------------------------------

// el('a', {href: '/x', class: 'k', dataset: {test: 'y'}}, 'text', child...)
export function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs ?? {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key === 'dataset') Object.assign(node.dataset, value);
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('on') && typeof value === 'function') {
      node.addEventListener(key.slice(2), value);
    } else node.setAttribute(key, value === true ? '' : String(value));
  }
  append(node, children);
  return node;
}

function append(node, children) {
  for (const child of children) {
    if (child === undefined || child === null || child === false) continue;
    if (Array.isArray(child)) append(node, child);
    else node.append(child instanceof Node ? child : String(child));
  }
}

export function clear(node) {
  while (node.firstChild) node.removeChild(node.firstChild);
  return node;
}

export function byId(id) {
  return document.getElementById(id);
}

// A table with a caption (for screen readers: the section's heading shows
// it), column headers and one row per item; `columns`
// are [heading, (item) => cell content] pairs. The first column heads its
// row when rowHeader is set.
export function table(caption, columns, items, options = {}) {
  const head = el('tr', null, columns.map(([name]) => el('th', { scope: 'col' }, name)));
  const body = el('tbody');
  for (const item of items) {
    const row = el('tr', options.rowAttrs ? options.rowAttrs(item) : null);
    columns.forEach(([, cell], i) => {
      const tag = i === 0 && options.rowHeader ? 'th' : 'td';
      row.append(el(tag, tag === 'th' ? { scope: 'row' } : null, cell(item)));
    });
    body.append(row);
  }
  if (items.length === 0) {
    body.append(el('tr', null, el('td', { colspan: columns.length, class: 'empty' }, options.empty ?? 'None')));
  }
  return el(
    'div',
    { class: 'table-wrap' },
    el('table', options.attrs ?? null, caption ? el('caption', { class: 'visually-hidden' }, caption) : null, el('thead', null, head), body),
  );
}

export function definitions(pairs, attrs) {
  const list = el('dl', { class: 'fields', ...(attrs ?? {}) });
  for (const [name, value] of pairs) {
    list.append(el('div', null, el('dt', null, name), el('dd', null, value)));
  }
  return list;
}

// A word in a badge; the word carries the meaning, the colour only repeats it.
export function badge(word, kind) {
  const text = word ?? 'unknown';
  return el('span', { class: `badge badge-${kind ?? text}`, dataset: { value: text } }, text);
}

export function link(href, text, attrs) {
  return el('a', { href, ...(attrs ?? {}) }, text);
}

export function actionLink(id) {
  if (!id) return '—';
  return link(`/ui/action?id=${encodeURIComponent(id)}`, id);
}

export function machineLink(id) {
  if (!id) return '—';
  return link(`/ui/machine?id=${encodeURIComponent(id)}`, id);
}

// ---- Numbers and times -----------------------------------------------------

// Milliseconds since the epoch from what the server sends: a number of
// milliseconds (or of seconds, when small), or a date text.
export function toMs(value) {
  if (value === null || value === undefined || value === '') return null;
  if (typeof value === 'number') return value < 1e11 ? value * 1000 : value;
  const parsed = Date.parse(value);
  return Number.isNaN(parsed) ? null : parsed;
}

export function gib(mib) {
  if (typeof mib !== 'number') return '—';
  return `${(mib / 1024).toFixed(1)} GiB`;
}

export function num(value, unit) {
  if (typeof value !== 'number') return '—';
  return unit ? `${value} ${unit}` : String(value);
}

export function duration(ms) {
  let s = Math.max(0, Math.round(ms / 1000));
  if (s < 60) return `${s} s`;
  const m = Math.floor(s / 60);
  if (m < 60) return `${m} min ${s % 60} s`;
  const h = Math.floor(m / 60);
  if (h < 48) return `${h} h ${m % 60} min`;
  s = Math.floor(h / 24);
  return `${s} d ${h % 24} h`;
}

export function when(value) {
  const ms = toMs(value);
  if (ms === null) return '—';
  return new Date(ms).toISOString().replace('T', ' ').replace(/\.\d+Z$/, ' UTC');
}

// The server's clock less the browser's, from the latest answer's "now";
// relative times use it so that a skewed browser clock does not show.
let skew = 0;

export function noteServerNow(now) {
  const ms = toMs(now);
  if (ms !== null) skew = ms - Date.now();
}

function serverNow() {
  return Date.now() + skew;
}

// A <time> that says how long ago (or, with `suffix` empty, how long since)
// `value` was, kept current each second without fetching.
export function ago(value, suffix = ' ago') {
  const ms = toMs(value);
  if (ms === null) return el('span', null, 'never');
  const node = el('time', { datetime: new Date(ms).toISOString(), title: when(ms), class: 'ago' });
  node.dataset.at = String(ms);
  node.dataset.suffix = suffix;
  renderAgo(node);
  return node;
}

function renderAgo(node) {
  node.textContent = duration(serverNow() - Number(node.dataset.at)) + node.dataset.suffix;
}

setInterval(() => {
  for (const node of document.querySelectorAll('time.ago')) renderAgo(node);
}, 1000);

// ---- Status line -----------------------------------------------------------

export function say(text, kind = 'info') {
  const line = byId('status');
  if (!line) return;
  line.textContent = text;
  line.dataset.kind = kind;
  line.hidden = !text;
}

export function fail(error) {
  if (error instanceof SignedOut) return;
  say(`Could not load: ${error.message}`, 'error');
}

// ---- Header ----------------------------------------------------------------

export function header(active) {
  const top = byId('top');
  const who = el('span', { class: 'who', dataset: { test: 'who' } }, 'Signed in');
  const signOut = el('button', { type: 'button', class: 'quiet', dataset: { test: 'sign-out' } }, 'Sign out');
  signOut.addEventListener('click', async () => {
    signOut.disabled = true;
    try {
      await post('/ui/api/sign-out');
    } finally {
      location.assign(SIGN_IN);
    }
  });
  const navItem = (href, name, key) =>
    el('li', null, el('a', { href, 'aria-current': key === active ? 'page' : null }, name));
  clear(top).append(
    el('a', { href: '/ui/fleet', class: 'brand' }, 'Tavoren'),
    el('nav', { 'aria-label': 'Main' }, el('ul', null, navItem('/ui/fleet', 'Fleet', 'fleet'), navItem('/ui/queue', 'Queue', 'queue'))),
    el('div', { class: 'account' }, who, signOut),
  );
  api('/ui/api/me')
    .then((me) => {
      who.textContent = `${me.accessKey} (${me.role})`;
    })
    .catch(fail);
}

// ---- Live updates ----------------------------------------------------------

// Calls `load` on request, never two at once and at most once per `gap` ms:
// requests meanwhile fold into one later call.
export function coalesce(load, gap = 2000) {
  let inFlight = false;
  let pending = false;
  let timer = null;
  let last = 0;
  async function run() {
    inFlight = true;
    last = Date.now();
    try {
      await load();
    } catch (error) {
      fail(error);
    } finally {
      inFlight = false;
      if (pending) {
        pending = false;
        request();
      }
    }
  }
  function request() {
    if (inFlight) {
      pending = true;
      return;
    }
    if (timer) return;
    const wait = last + gap - Date.now();
    if (wait > 0) {
      timer = setTimeout(() => {
        timer = null;
        run();
      }, wait);
    } else run();
  }
  return request;
}

// Opens the page's one event stream; `handlers` maps event names to
// functions of the parsed data.
export function events(topic, handlers, extra = '') {
  const source = new EventSource(`/ui/api/events?topic=${encodeURIComponent(topic)}${extra}`);
  const live = byId('live');
  const show = (text) => {
    if (live) live.textContent = text;
  };
  source.addEventListener('open', () => show('Live'));
  source.addEventListener('error', () => {
    if (source.readyState === EventSource.CLOSED) {
      show('Live updates stopped');
      api('/ui/api/me').catch(fail);
    } else show('Reconnecting…');
  });
  for (const [name, handler] of Object.entries(handlers)) {
    source.addEventListener(name, (event) => {
      let data = null;
      try {
        data = JSON.parse(event.data);
      } catch {
        return;
      }
      handler(data, event);
    });
  }
  addEventListener('pagehide', () => source.close());
  return source;
}

export function param(name) {
  return new URLSearchParams(location.search).get(name);
}
