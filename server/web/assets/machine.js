// One machine: its fields, inventory, a day of each GPU's utilisation and
// memory drawn here as SVG, its health events and the actions it ran.
import {
  actionLink, ago, api, badge, byId, clear, coalesce, definitions, el, events, gib, header,
  noteServerNow, num, param, say, table, toMs, when,
} from './common.js';

header('machine');

const id = param('id');
const SVG = 'http://www.w3.org/2000/svg';
const DAY_S = 24 * 3600;
const GAP_S = 12 * 60; // samples further apart than this leave a gap

function svg(tag, attrs, ...children) {
  const node = document.createElementNS(SVG, tag);
  for (const [key, value] of Object.entries(attrs ?? {})) node.setAttribute(key, String(value));
  for (const child of children) if (child) node.append(child);
  return node;
}

// A small line chart of `points` ([seconds, value]) from `from` to `to`
// seconds, values 0..`top`, with a text summary for those who cannot see it.
function chart(title, points, from, to, top, format, testName) {
  const W = 320;
  const H = 90;
  const pad = { l: 50, r: 6, t: 6, b: 16 };
  const x = (t) => pad.l + ((t - from) / (to - from)) * (W - pad.l - pad.r);
  const y = (v) => pad.t + (1 - Math.max(0, Math.min(top, v)) / top) * (H - pad.t - pad.b);
  let d = '';
  let previous = null;
  for (const [t, v] of points) {
    if (typeof v !== 'number') {
      previous = null;
      continue;
    }
    d += `${previous === null || t - previous > GAP_S ? 'M' : 'L'}${x(t).toFixed(1)},${y(v).toFixed(1)} `;
    previous = t;
  }
  const values = points.map(([, v]) => v).filter((v) => typeof v === 'number');
  const last = points.filter(([, v]) => typeof v === 'number').pop();
  const latest = values.length ? format(values[values.length - 1]) : 'none';
  const peak = values.length ? format(Math.max(...values)) : 'none';
  const words = values.length
    ? `${title}: latest ${latest}, peak ${peak}, over ${values.length} samples of the last 24 hours.`
    : `${title}: no samples in the last 24 hours.`;
  const picture = svg(
    'svg',
    { viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label': words, class: 'chart', 'data-test': testName, 'data-points': values.length },
    svg('title', null, document.createTextNode(words)),
    svg('line', { x1: pad.l, y1: y(0), x2: W - pad.r, y2: y(0), class: 'axis' }),
    svg('line', { x1: pad.l, y1: y(top), x2: W - pad.r, y2: y(top), class: 'grid' }),
    svg('text', { x: pad.l - 4, y: y(top) + 4, class: 'tick', 'text-anchor': 'end' }, document.createTextNode(format(top))),
    svg('text', { x: pad.l - 4, y: y(0), class: 'tick', 'text-anchor': 'end' }, document.createTextNode('0')),
    svg('text', { x: pad.l, y: H - 3, class: 'tick' }, document.createTextNode('24 h ago')),
    svg('text', { x: W - pad.r, y: H - 3, class: 'tick', 'text-anchor': 'end' }, document.createTextNode('now')),
    d ? svg('path', { d, class: 'line' }) : null,
    last ? svg('circle', { cx: x(last[0]).toFixed(1), cy: y(last[1]).toFixed(1), r: 2.5, class: 'dot' }) : null,
  );
  return el('figure', { class: 'chart-box' }, el('figcaption', null, `${title} — latest ${latest}`), picture);
}

function charts(machine, nowS) {
  const box = clear(byId('charts'));
  const samples = Array.isArray(machine.samples) ? machine.samples : [];
  const to = nowS;
  const from = to - DAY_S;
  const byGpu = new Map();
  for (const sample of samples) {
    for (const gpu of sample.gpus ?? []) {
      const [index, , utilisation, used, free] = gpu;
      if (!byGpu.has(index)) byGpu.set(index, []);
      byGpu.get(index).push({ at: sample.at, utilisation, used, free });
    }
  }
  if (byGpu.size === 0) {
    box.append(el('p', null, 'No GPU samples in the last 24 hours.'));
    return;
  }
  for (const [index, series] of [...byGpu.entries()].sort((a, b) => a[0] - b[0])) {
    const total = Math.max(1, ...series.map((s) => (s.used ?? 0) + (s.free ?? 0)));
    box.append(
      el(
        'div',
        { class: 'gpu-charts', dataset: { test: 'gpu-chart', index: String(index) } },
        el('h3', null, `GPU ${index}`),
        chart('Utilisation', series.map((s) => [s.at, s.utilisation]), from, to, 100, (v) => `${Math.round(v)} %`, 'chart-utilisation'),
        chart('Memory used', series.map((s) => [s.at, s.used]), from, to, total, (v) => gib(v), 'chart-memory'),
      ),
    );
  }
}

function valueText(key, value) {
  if (value === null || value === undefined) return '—';
  if (typeof value === 'number' && /MiB$/.test(key)) return gib(value);
  if (typeof value === 'object') return JSON.stringify(value);
  return String(value);
}

function pairs(object) {
  return Object.entries(object ?? {}).map(([k, v]) => [k, valueText(k, v)]);
}

function gpusTable(gpus) {
  const columns = [
    ['GPU', (g) => String(g.index)],
    ['Name', (g) => g.name ?? '—'],
    ['UUID', (g) => g.uuid ?? '—'],
    ['Utilisation', (g) => num(g.utilisation, '%')],
    ['Memory used / total', (g) => `${gib(g.memoryUsedMiB)} / ${gib(g.memoryTotalMiB)}`],
    ['Temperature', (g) => num(g.temperatureC, '°C')],
    ['Power', (g) => (typeof g.powerDrawW === 'number' ? `${Math.round(g.powerDrawW)} / ${num(g.powerLimitW, 'W')}` : '—')],
    ['Health', (g) => [badge(g.health ?? 'unknown', `health-${g.health ?? 'unknown'}`), g.reason ? ` ${g.reason}` : '']],
    ['Action', (g) => actionLink(g.actionId)],
  ];
  return table('GPUs of the latest inventory', columns, gpus ?? [], { rowHeader: true, empty: 'No GPU reported.' });
}

function render(machine, data) {
  document.title = `${id} · Tavoren`;
  byId('title').textContent = `Machine ${id}`;
  const health = machine.gpuHealth;
  clear(byId('fields')).append(
    definitions(
      [
        ['Liveness', badge(machine.liveness)],
        ['Mode', badge(machine.mode)],
        ['Drain deadline', when(machine.drainDeadline)],
        ['Lost at', when(machine.lostAt)],
        ['Last contact', ago(machine.lastContactAt)],
        ['First contact', when(machine.firstContactAt)],
        ['Agent version', machine.agentVersion ?? '—'],
        ['Provider', machine.provider ?? '—'],
        ['Address', machine.address ?? '—'],
        ['Actions held', `${machine.actionsHeld ?? 0} of at most ${machine.maxActions ?? '—'}`],
        ['GPU health', health ? `${health.healthy} of ${health.total} healthy` : 'no report'],
        ['Labels', Object.entries(machine.labels ?? {}).map(([k, v]) => `${k}=${v}`).join(', ') || '—'],
        ['Latest report', machine.reportedAt ? ago(machine.reportedAt) : '—'],
      ],
      { dataset: { test: 'machine-summary', liveness: machine.liveness ?? '' } },
    ),
  );
  const inventory = machine.inventory ?? {};
  clear(byId('gpus')).append(gpusTable(inventory.gpus));
  const serverNow = toMs(data.now) ?? Date.now();
  charts(machine, Math.round(serverNow / 1000));
  clear(byId('inventory')).append(
    el('div', null, el('h3', null, 'Host'), definitions(pairs(inventory.host))),
    el('div', null, el('h3', null, 'Software'), definitions([...pairs(inventory.software), ['driverVersion', inventory.driverVersion ?? '—']])),
  );
  clear(byId('health-events')).append(
    table(
      'Health events, oldest first',
      [
        ['When', (e) => when(e.at)],
        ['GPU', (e) => String(e.index)],
        ['From', (e) => e.from ?? '—'],
        ['To', (e) => e.to ?? '—'],
        ['Fault', (e) => e.fault ?? '—'],
        ['Reason', (e) => e.reason ?? '—'],
      ],
      inventory.healthEvents ?? [],
      { empty: 'No change of health recorded.' },
    ),
  );
  clear(byId('actions')).append(
    table(
      'Live actions',
      [
        ['Action', (a) => actionLink(a._id)],
        ['Type', (a) => a.action ?? '—'],
        ['Attempt', (a) => String(a.attempt ?? '—')],
        ['Assigned', (a) => ago(a.assignedAt)],
      ],
      machine.actions ?? [],
      { rowHeader: true, empty: 'No live action.' },
    ),
  );
  clear(byId('history')).append(
    table(
      'Latest attempts, newest first',
      [
        ['Action', (a) => actionLink(a._id)],
        ['Attempt', (a) => String(a.attempt ?? '—')],
        ['Assigned', (a) => when(a.assignedAt)],
        ['Ended', (a) => when(a.endedAt)],
        ['End cause', (a) => a.endCause ?? '—'],
        ['Exit status', (a) => (a.exitStatus === null || a.exitStatus === undefined ? '—' : String(a.exitStatus))],
      ],
      machine.history ?? [],
      { rowHeader: true, empty: 'No attempt yet.' },
    ),
  );
}

async function load() {
  const data = await api(`/ui/api/machine?id=${encodeURIComponent(id)}`);
  noteServerNow(data.now);
  render(data.machine ?? {}, data);
  say('');
}

if (!id) {
  say('No machine named: open this page from the fleet.', 'error');
} else {
  const refresh = coalesce(load);
  refresh();
  events(`machine:${id}`, { changed: refresh });
}
