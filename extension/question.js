// The site question: shows the host's caption and text and sends the answer
// to the service worker over a port. Cancel has the focus, so Enter alone
// never admits a site; Escape and closing the window cancel. When the worker
// drops the port (answered, or the worker is gone) the window closes.
'use strict';

// OK and Enter stay dead this long after the window shows or comes back to
// the front, so a click or key press meant for the page below, timed by that
// page, cannot admit it.
const ARMING_MS = 500;

const params = new URLSearchParams(location.search);
const caption = params.get('caption') || 'Frage';
document.title = caption;
document.getElementById('caption').textContent = caption;
document.getElementById('text').textContent = params.get('text') ?? '';

const port = chrome.runtime.connect({ name: 'vexa-question' });
port.onDisconnect.addListener(() => window.close());
port.postMessage({ question: params.get('id') ?? '' });

const ok = document.getElementById('ok');
const cancel = document.getElementById('cancel');
let answered = false;
let arming = 0;

function reply(answer) {
  if (answered) return;
  answered = true;
  ok.disabled = true;
  cancel.disabled = true;
  port.postMessage({ answer });
}

// Disables OK (a disabled button takes no click) and arms it again after
// ARMING_MS of quiet; every call starts the wait anew.
function holdOk() {
  if (answered) return;
  ok.disabled = true;
  clearTimeout(arming);
  arming = setTimeout(() => {
    ok.disabled = answered;
  }, ARMING_MS);
}

ok.addEventListener('click', () => {
  if (!ok.disabled) reply('ok');
});
cancel.addEventListener('click', () => reply('cancel'));
document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape') reply('cancel');
  else if (event.key === 'Enter' && ok.disabled) event.preventDefault();
}, true);
window.addEventListener('load', holdOk);
window.addEventListener('focus', holdOk);
document.addEventListener('visibilitychange', holdOk);
holdOk();
cancel.focus();
