// The fleet: counts as filters, search, sort and paging done by the
// server, one block per machine with a row per GPU. The filters live in
// the address so that a reload or a shared link keeps them.
import {
  api, badge, byId, clear, coalesce, el, events, gib, header, machineLink, actionLink,
  noteServerNow, num, ago, say, when,
} from './common.js';

const PAGE = 50;
const LIVENESS = ['alive', 'unresponsive', 'lost'];
const MODES = ['active', 'draining', 'preempting'];
const KEYS = ['liveness', 'mode', 'q', 'sort', 'order', 'offset'];

header('fleet');

function filters() {
  const query = new URLSearchParams(location.search);
  const f = {};
  for (const key of KEYS) f[key] = query.get(key) ?? '';
  f.offset = Math.max(0, Number.parseInt(f.offset, 10) || 0);
  return f;
}

function setFilters(change) {
  const f = { ...filters(), ...change };
  if (!('offset' in change)) f.offset = 0;
  const query = new URLSearchParams();
  for (const key of KEYS) {
    if (f[key] !== '' && !(key === 'offset' && f[key] === 0)) query.set(key, String(f[key]));
  }
  const search = query.toString();
  history.pushState(null, '', search ? `?${search}` : location.pathname);
  syncForm();
  refresh();
}

function syncForm() {
  const f = filters();
  byId('q').value = f.q;
  byId('sort').value = f.sort || 'instanceId';
  byId('order').value = f.order || 'asc';
}

function countButtons(container, key, names, counts, chosen) {
  for (const old of container.querySelectorAll('button')) old.remove();
  const total = Object.values(counts ?? {}).reduce((sum, n) => sum + n, 0);
  const all = [...names, ...Object.keys(counts ?? {}).filter((n) => !names.includes(n))];
  const make = (value, label, n) => {
    const button = el(
      'button',
      { type: 'button', class: 'count', 'aria-pressed': String(chosen === value), dataset: { test: `count-${key}-${value || 'all'}` } },
      el('span', { class: 'count-name' }, label),
      el('span', { class: 'count-n' }, String(n)),
    );
    button.addEventListener('click', () => setFilters({ [key]: chosen === value ? '' : value }));
    return button;
  };
  container.append(make('', 'all', total));
  for (const name of all) container.append(make(name, name, counts?.[name] ?? 0));
}

function modeCell(machine) {
  const parts = [badge(machine.mode, machine.mode)];
  if (machine.drainDeadline) parts.push(el('span', { class: 'sub' }, ` deadline ${when(machine.drainDeadline)}`));
  return parts;
}

function livenessCell(machine) {
  const parts = [badge(machine.liveness)];
  if (machine.liveness === 'lost' && machine.lostAt) parts.push(el('span', { class: 'sub' }, ' since ', ago(machine.lostAt)));
  return parts;
}

function meter(percent) {
  if (typeof percent !== 'number') return '—';
  const bar = el('span', { class: 'meter-fill' });
  bar.style.width = `${Math.max(0, Math.min(100, percent))}%`;
  return el('span', { class: 'meter-wrap' }, el('span', { class: 'meter', 'aria-hidden': 'true' }, bar), ` ${percent} %`);
}

function healthCell(gpu) {
  return [badge(gpu.health ?? 'unknown', `health-${gpu.health ?? 'unknown'}`), gpu.reason ? el('span', { class: 'sub' }, ` ${gpu.reason}`) : null];
}

function gpuTable(machine) {
  const head = el(
    'tr',
    null,
    ['GPU', 'Name', 'Utilisation', 'Memory used', 'Memory free', 'Temperature', 'Power', 'Health', 'Action'].map((h) => el('th', { scope: 'col' }, h)),
  );
  const rows = machine.gpus.map((gpu) =>
    el(
      'tr',
      { dataset: { test: 'gpu', index: String(gpu.index) } },
      el('th', { scope: 'row' }, String(gpu.index)),
      el('td', null, gpu.name ?? '—'),
      el('td', null, meter(gpu.utilisation)),
      el('td', { class: 'n' }, gib(gpu.memoryUsedMiB)),
      el('td', { class: 'n' }, gib(gpu.memoryFreeMiB)),
      el('td', { class: 'n' }, num(gpu.temperatureC, '°C')),
      el('td', { class: 'n' }, typeof gpu.powerDrawW === 'number' ? `${Math.round(gpu.powerDrawW)} / ${num(gpu.powerLimitW && Math.round(gpu.powerLimitW), 'W')}` : '—'),
      el('td', { dataset: { test: 'gpu-health' } }, healthCell(gpu)),
      el('td', null, actionLink(gpu.actionId)),
    ),
  );
  return el(
    'table',
    { class: 'gpus' },
    el('caption', { class: 'visually-hidden' }, `GPUs of ${machine.instanceId}`),
    el('thead', null, head),
    el('tbody', null, rows),
  );
}

function machineBlock(machine) {
  const health = machine.gpuHealth;
  const healthText = health ? `${health.healthy}/${health.total} healthy` : 'no report';
  const body = el(
    'tbody',
    { class: `machine liveness-${machine.liveness}`, dataset: { test: 'machine', id: machine.instanceId, liveness: machine.liveness } },
    el(
      'tr',
      { class: 'machine-row' },
      el('th', { scope: 'row' }, machineLink(machine.instanceId), labels(machine.labels)),
      el('td', { dataset: { test: 'liveness' } }, livenessCell(machine)),
      el('td', null, modeCell(machine)),
      el('td', null, machine.agentVersion ?? '—'),
      el('td', null, ago(machine.lastContactAt)),
      el('td', { class: 'n' }, `${machine.actionsHeld ?? 0} / ${machine.maxActions ?? '—'}`),
      el('td', { class: health && health.healthy < health.total ? 'warn' : null, dataset: { test: 'gpu-health-summary' } }, healthText),
    ),
  );
  if (Array.isArray(machine.gpus) && machine.gpus.length > 0) {
    body.append(el('tr', { class: 'gpu-row' }, el('td', { colspan: 7 }, gpuTable(machine))));
  }
  return body;
}

function labels(map) {
  const entries = Object.entries(map ?? {});
  if (entries.length === 0) return null;
  return el('span', { class: 'labels' }, entries.map(([k, v]) => el('span', { class: 'label' }, `${k}=${v}`)));
}

function render(data, f) {
  countButtons(byId('liveness-counts'), 'liveness', LIVENESS, data.counts?.liveness, f.liveness);
  countButtons(byId('mode-counts'), 'mode', MODES, data.counts?.mode, f.mode);
  const machines = data.machines ?? [];
  const first = machines.length ? f.offset + 1 : 0;
  byId('range').textContent = `Machines ${first}–${f.offset + machines.length} of ${data.total ?? 0}`;
  byId('prev').disabled = f.offset === 0;
  byId('next').disabled = f.offset + machines.length >= (data.total ?? 0);
  const head = el(
    'thead',
    null,
    el('tr', null, ['Machine', 'Liveness', 'Mode', 'Agent', 'Last contact', 'Actions held', 'GPU health'].map((h) => el('th', { scope: 'col' }, h))),
  );
  const list = el('table', { class: 'fleet' }, el('caption', { class: 'visually-hidden' }, 'Machines and their GPUs'), head, machines.map(machineBlock));
  if (machines.length === 0) list.append(el('tbody', null, el('tr', null, el('td', { colspan: 7, class: 'empty' }, 'No machine matches.'))));
  clear(byId('machines')).append(list);
}

async function load() {
  const f = filters();
  const query = new URLSearchParams({ offset: String(f.offset), limit: String(PAGE) });
  for (const key of ['liveness', 'mode', 'q', 'sort', 'order']) if (f[key]) query.set(key, f[key]);
  const data = await api(`/ui/api/fleet?${query}`);
  noteServerNow(data.now);
  render(data, f);
  say('');
}

const refresh = coalesce(load);

byId('search').addEventListener('submit', (event) => {
  event.preventDefault();
  setFilters({ q: byId('q').value.trim(), sort: byId('sort').value, order: byId('order').value });
});
for (const id of ['sort', 'order']) {
  byId(id).addEventListener('change', () => setFilters({ [id]: byId(id).value }));
}
byId('reset').addEventListener('click', () => setFilters({ liveness: '', mode: '', q: '', sort: '', order: '' }));
byId('prev').addEventListener('click', () => setFilters({ offset: Math.max(0, filters().offset - PAGE) }));
byId('next').addEventListener('click', () => setFilters({ offset: filters().offset + PAGE }));
addEventListener('popstate', () => {
  syncForm();
  refresh();
});

syncForm();
refresh();
// The server says when to look again: when a machine's liveness or mode
// changes, and now and then for the figures that change all the time.
events('fleet', { changed: refresh });
