// The site question: shows the host's caption and text and sends the answer
// to the service worker. Cancel has the focus, so Enter alone never admits a
// site; Escape and closing the window cancel.
'use strict';

const params = new URLSearchParams(location.search);
const id = params.get('id') ?? '';
const caption = params.get('caption') || 'Frage';
document.title = caption;
document.getElementById('caption').textContent = caption;
document.getElementById('text').textContent = params.get('text') ?? '';

const buttons = [document.getElementById('ok'), document.getElementById('cancel')];
let answered = false;

function reply(answer) {
  if (answered) return;
  answered = true;
  for (const button of buttons) button.disabled = true;
  // The worker closes this window once it has the answer.
  chrome.runtime.sendMessage({ question: id, answer }).catch(() => window.close());
}

buttons[0].addEventListener('click', () => reply('ok'));
buttons[1].addEventListener('click', () => reply('cancel'));
document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape') reply('cancel');
});
buttons[1].focus();
