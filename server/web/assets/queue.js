// The queued actions in the order they are handed out, with how long each
// has waited and the server's word on why.
import { actionLink, ago, api, byId, clear, coalesce, events, header, noteServerNow, say, table } from './common.js';

const LIMIT = 500;

header('queue');

function gpuNeed(item) {
  if (!item.gpuRequired) return 'none';
  const count = typeof item.gpuRequired === 'number' ? item.gpuRequired : 1;
  const gpus = `${count} GPU${count === 1 ? '' : 's'}`;
  return typeof item.gpuMemoryMiB === 'number' ? `${gpus}, ${(item.gpuMemoryMiB / 1024).toFixed(1)} GiB` : gpus;
}

async function load() {
  const data = await api(`/ui/api/queue?limit=${LIMIT}`);
  noteServerNow(data.now);
  const actions = data.actions ?? [];
  const total = data.total ?? actions.length;
  byId('summary').textContent =
    total === 0 ? 'No action waits.' : actions.length < total ? `${total} actions wait; the first ${actions.length} are shown.` : `${total} ${total === 1 ? 'action waits' : 'actions wait'}.`;
  const columns = [
    ['Position', (a) => String(a.position)],
    ['Action', (a) => actionLink(a._id)],
    ['Type', (a) => a.action ?? '—'],
    ['GPU need', gpuNeed],
    ['Waited', (a) => ago(a.submittedAt, '')],
    ['Why it waits', (a) => a.reason ?? '—'],
  ];
  clear(byId('queue')).append(
    table('Queued actions', columns, actions, {
      rowHeader: true,
      empty: 'The queue is empty.',
      attrs: { class: 'queue' },
      rowAttrs: (a) => ({ dataset: { test: 'queued', id: a._id } }),
    }),
  );
  say('');
}

const refresh = coalesce(load);
refresh();
events('queue', { changed: refresh });
