// Signs in without sending the secret key: the server's challenge is signed
// with HMAC-SHA256 under the secret in this page, and only the signature
// goes back.

const form = document.getElementById('sign-in');
const accessInput = document.getElementById('access-key');
const secretInput = document.getElementById('secret-key');
const submit = document.getElementById('submit');
const errorLine = document.getElementById('sign-in-error');

const utf8 = (text) => new TextEncoder().encode(text);

function hex(buffer) {
  return Array.from(new Uint8Array(buffer), (b) => b.toString(16).padStart(2, '0')).join('');
}

async function sign(secret, challenge) {
  const key = await crypto.subtle.importKey('raw', utf8(secret), { name: 'HMAC', hash: 'SHA-256' }, false, [
    'sign',
  ]);
  return hex(await crypto.subtle.sign('HMAC', key, utf8(challenge)));
}

// Where to go after signing in: a path of this site under /ui/ (never the
// sign-in page itself), else the fleet.
export function nextPlace(raw) {
  const fallback = '/ui/fleet';
  if (!raw || !raw.startsWith('/ui/') || raw.includes('\\')) return fallback;
  let target;
  try {
    target = new URL(raw, location.origin);
  } catch {
    return fallback;
  }
  if (target.origin !== location.origin || !target.pathname.startsWith('/ui/')) return fallback;
  if (target.pathname === '/ui/sign-in' || target.pathname.startsWith('/ui/api/')) return fallback;
  return target.pathname + target.search + target.hash;
}

function showError(text) {
  errorLine.textContent = text;
  errorLine.hidden = !text;
}

async function postJson(path, body) {
  return fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', Accept: 'application/json' },
    credentials: 'same-origin',
    cache: 'no-store',
    body: JSON.stringify(body),
  });
}

async function signIn(accessKey, secret) {
  const asked = await postJson('/ui/api/challenge', {});
  if (!asked.ok) throw new Error('The server gave no challenge; try again.');
  const { challenge } = await asked.json();
  if (typeof challenge !== 'string' || !challenge) throw new Error('The server gave no challenge; try again.');
  const signature = await sign(secret, challenge);
  const answer = await postJson('/ui/api/sign-in', { accessKey, challenge, signature });
  if (answer.status === 401) throw new Error('Sign-in refused: the access key or secret key is wrong, or the key may not sign in here.');
  if (!answer.ok) throw new Error(`Sign-in failed (status ${answer.status}); try again.`);
  return answer.json();
}

form.addEventListener('submit', async (event) => {
  event.preventDefault();
  const accessKey = accessInput.value.trim();
  const secret = secretInput.value;
  secretInput.value = '';
  if (!accessKey || !secret) {
    showError('Enter both the access key and the secret key.');
    (accessKey ? secretInput : accessInput).focus();
    return;
  }
  if (!window.crypto || !crypto.subtle) {
    showError('This browser offers no WebCrypto here; open the page over HTTPS or on localhost.');
    return;
  }
  submit.disabled = true;
  showError('');
  try {
    await signIn(accessKey, secret);
    accessInput.value = '';
    location.assign(nextPlace(new URLSearchParams(location.search).get('next')));
  } catch (error) {
    showError(error.message);
    secretInput.focus();
  } finally {
    submit.disabled = false;
  }
});
