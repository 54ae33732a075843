// The site question of Open, shown in a small popup window of our own
// (question.html). Only that page can answer, so a web page can never answer
// on the user's behalf. Closing the window counts as Cancel.

const PAGE = chrome.runtime.getURL('question.html');
const SIZE = { width: 460, height: 210 };

// question id -> { windowId, reply(answer), settled }
const open = new Map();

function settle(id, answer) {
  const question = open.get(id);
  if (!question) return;
  open.delete(id);
  question.settled = true;
  question.reply(answer);
  if (question.windowId !== null) chrome.windows.remove(question.windowId).catch(() => {});
}

// Shows the question and calls reply('ok' | 'cancel') exactly once, unless
// dismissed first. Returns a function that closes the window without
// answering (the asking side is gone).
export function ask(caption, text, reply) {
  const id = crypto.randomUUID();
  const question = { windowId: null, reply, settled: false };
  open.set(id, question);
  const url = `${PAGE}?${new URLSearchParams({ id, caption, text })}`;
  chrome.windows.create({ url, type: 'popup', focused: true, ...SIZE }).then(
    (window) => {
      question.windowId = window.id;
      // Answered or dismissed while the window was being made.
      if (question.settled) chrome.windows.remove(window.id).catch(() => {});
    },
    () => settle(id, 'cancel'),
  );
  return () => {
    if (!open.has(id)) return;
    question.reply = () => {};
    settle(id, 'cancel');
  };
}

chrome.windows.onRemoved.addListener((windowId) => {
  for (const [id, question] of open) {
    if (question.windowId === windowId) settle(id, 'cancel');
  }
});

// The answer from question.js: { question: <id>, answer: 'ok' | 'cancel' }.
chrome.runtime.onMessage.addListener((message, sender) => {
  const fromOurPage = sender.id === chrome.runtime.id && typeof sender.url === 'string' && sender.url.split('?')[0] === PAGE;
  if (!fromOurPage || message === null || typeof message !== 'object') return;
  const { question: id, answer } = message;
  if (typeof id !== 'string' || (answer !== 'ok' && answer !== 'cancel')) return;
  const question = open.get(id);
  if (!question) return;
  // Each question's own window answers it, no other.
  if (question.windowId !== null && sender.tab?.windowId !== question.windowId) return;
  settle(id, answer);
});
