// The site question: shows the host's caption and text and sends the answer
// to the service worker over a port. Cancel has the focus, so Enter alone
// never admits a site; Escape and closing the window cancel. When the worker
// drops the port (answered, or the worker is gone) the window closes.
'use strict';

const params = new URLSearchParams(location.search);
const caption = params.get('caption') || 'Frage';
document.title = caption;
document.getElementById('caption').textContent = caption;
document.getElementById('text').textContent = params.get('text') ?? '';

const port = chrome.runtime.connect({ name: 'vexa-question' });
port.onDisconnect.addListener(() => window.close());
port.postMessage({ question: params.get('id') ?? '' });

const buttons = [document.getElementById('ok'), document.getElementById('cancel')];
function reply(answer) {
  if (buttons[0].disabled) return;
  for (const button of buttons) button.disabled = true;
  port.postMessage({ answer });
}

buttons[0].addEventListener('click', () => reply('ok'));
buttons[1].addEventListener('click', () => reply('cancel'));
document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape') reply('cancel');
});
buttons[1].focus();
