// One action: its summary, attempts, history and record, and the current
// attempt's log, loaded through the log call and then grown from the
// stream's log events.
import {
  api, badge, byId, clear, coalesce, definitions, el, events, fail, header, machineLink, noteServerNow,
  param, say, table, when,
} from './common.js';

header('action');

const id = param('id');
const logView = byId('log');
const encoder = new TextEncoder();
const decoder = new TextDecoder();

let shownAttempt = null; // the attempt whose log the live view holds
let offset = 0; // bytes of that log already shown
let chain = Promise.resolve(); // log work, one step at a time

const logUrl = (attempt, from) =>
  `/ui/api/log?id=${encodeURIComponent(id)}&attempt=${attempt}&offset=${from}`;
const downloadUrl = (attempt) =>
  `/ui/api/log/download?id=${encodeURIComponent(id)}&attempt=${attempt}`;

function enqueue(step) {
  chain = chain.then(step).catch(fail);
  return chain;
}

function appendLog(text) {
  if (!text) return;
  const atBottom = logView.scrollHeight - logView.scrollTop - logView.clientHeight < 8;
  logView.append(text);
  if (atBottom) logView.scrollTop = logView.scrollHeight;
}

// Reads `attempt`'s log from `from` until the server has no more; calls
// `sink` with each piece and answers the offset after the last.
async function readLog(attempt, from, sink) {
  let at = from;
  for (let pages = 0; pages < 100000; pages++) {
    const chunk = await api(logUrl(attempt, at));
    if (!chunk || !chunk.content) break;
    sink(chunk.content);
    const next = Number(chunk.nextOffset);
    if (!Number.isFinite(next) || next <= at) break;
    at = next;
  }
  return at;
}

async function catchUp() {
  if (!shownAttempt) return;
  offset = await readLog(shownAttempt, offset, appendLog);
}

async function showAttempt(attempt) {
  shownAttempt = attempt;
  offset = 0;
  clear(logView);
  const link = byId('log-download');
  link.href = downloadUrl(attempt);
  link.hidden = false;
  byId('log-note').textContent = `Attempt ${attempt}.`;
  await catchUp();
}

function onLog(data) {
  enqueue(async () => {
    const attempt = Number(data.attempt);
    if (!Number.isFinite(attempt) || (shownAttempt && attempt < shownAttempt)) return;
    if (!shownAttempt || attempt > shownAttempt) {
      await showAttempt(attempt);
      return;
    }
    const start = Number(data.offset);
    const bytes = encoder.encode(data.content ?? '');
    if (start > offset) await catchUp();
    const end = start + bytes.length;
    if (start <= offset && end > offset) {
      appendLog(decoder.decode(bytes.subarray(offset - start)));
      offset = end;
    }
  });
}

function summary(action) {
  const type = action.record && typeof action.record === 'object' ? action.record.action : null;
  return definitions(
    [
      ['State', badge(action.state, `state-${action.state}`)],
      ['Type', type ?? '—'],
      ['Machine', machineLink(action.assignedTo)],
      ['Attempt', String(action.attempt ?? 0)],
      ['Submitted', when(action.submittedAt)],
      ['Ended', when(action.endedAt)],
      ['End cause', action.endCause ?? '—'],
      ['Exit status', action.exitStatus ?? '—'],
    ],
    { dataset: { test: 'action-fields', state: action.state ?? '' } },
  );
}

function showOldLog(attempt) {
  const box = byId('old-log-box');
  const view = byId('old-log');
  box.hidden = false;
  byId('old-log-title').textContent = `Log of attempt ${attempt}`;
  clear(view).textContent = 'Loading…';
  let text = '';
  readLog(attempt, 0, (piece) => {
    text += piece;
  })
    .then(() => {
      view.textContent = text || '(empty)';
      view.focus();
    })
    .catch(fail);
}

function attemptsTable(action) {
  const current = action.attempt;
  const columns = [
    ['Attempt', (a) => String(a.attempt)],
    ['Machine', (a) => machineLink(a.instanceId)],
    ['Cause', (a) => a.cause ?? (a.attempt === current && action.state === 'assigned' ? 'running' : '—')],
    ['Exit status', (a) => (a.exitStatus === null || a.exitStatus === undefined ? '—' : String(a.exitStatus))],
    [
      'Log',
      (a) => [
        a.attempt === current
          ? el('span', { class: 'sub' }, 'shown above ')
          : el('button', { type: 'button', class: 'small', onclick: () => showOldLog(a.attempt), dataset: { test: 'show-log' } }, `Show log ${a.attempt}`),
        ' ',
        el('a', { href: downloadUrl(a.attempt), download: '' }, `Download log ${a.attempt}`),
      ],
    ],
  ];
  return table('Attempts', columns, action.attempts ?? [], { rowHeader: true, empty: 'Not handed out yet.' });
}

function historyTable(action) {
  const columns = [
    ['When', (h) => when(h.at ?? h.recordedAt)],
    ['Operation', (h) => h.operation ?? '—'],
    ['Arguments', (h) => (h.arguments === undefined || h.arguments === null ? '—' : el('code', { class: 'args' }, JSON.stringify(h.arguments)))],
  ];
  return table('Status history', columns, action.history ?? [], { empty: 'No event yet.' });
}

async function load() {
  const data = await api(`/ui/api/action?id=${encodeURIComponent(id)}`);
  noteServerNow(data.now);
  const action = data.action ?? {};
  document.title = `Action ${id} · Tavoren`;
  byId('title').textContent = `Action ${id}`;
  clear(byId('summary')).append(summary(action));
  clear(byId('attempts')).append(attemptsTable(action));
  clear(byId('history')).append(historyTable(action));
  byId('record').textContent = JSON.stringify(action.record ?? null, null, 2);
  const attempt = Number(action.attempt) || 0;
  if (attempt > 0 && attempt !== shownAttempt) await enqueue(() => showAttempt(attempt));
  else if (attempt > 0 && action.state !== 'assigned') await enqueue(catchUp);
  if (attempt === 0) {
    byId('log-note').textContent = 'No log yet: the action has not been handed out.';
    byId('log-download').hidden = true;
  } else {
    byId('log-note').textContent = `Attempt ${attempt}, ${action.state === 'assigned' ? 'running: the log grows as it arrives' : 'ended'}.`;
  }
  say('');
}

async function start() {
  if (!id) {
    say('No action named: open this page from the fleet or the queue.', 'error');
    return;
  }
  const refresh = coalesce(load);
  try {
    await load();
  } catch (error) {
    fail(error);
    return;
  }
  await chain;
  events(`action:${id}`, { changed: refresh, log: onLog }, `&offset=${offset}`);
}

start();
