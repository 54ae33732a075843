// The site question of Open, shown in a small popup window of our own
// (question.html). Only that page can answer, so a web page can never answer
// on the user's behalf. The page holds a port to this worker: closing the
// window counts as Cancel, and a window whose worker is gone (the browser
// restarted it) closes itself.

const PAGE = chrome.runtime.getURL('question.html');
const SIZE = { width: 460, height: 210 };

// question id -> { windowId, port, reply(answer), settled }
const open = new Map();

function settle(id, answer) {
  const question = open.get(id);
  if (!question) return;
  open.delete(id);
  question.settled = true;
  question.reply(answer);
  try {
    question.port?.disconnect();
  } catch {
    // The window went first.
  }
  if (question.windowId !== null) chrome.windows.remove(question.windowId).catch(() => {});
}

// Shows the question and calls reply('ok' | 'cancel') exactly once, unless
// dismissed first. Returns a function that closes the window without
// answering (the asking side is gone).
export function ask(caption, text, reply) {
  const id = crypto.randomUUID();
  const question = { windowId: null, port: null, reply, settled: false };
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

// A port named "vexa-question" from question.js: first { question: <id> },
// then { answer: 'ok' | 'cancel' }.
export function attachQuestionPage(port) {
  const sender = port.sender;
  if (sender?.id !== chrome.runtime.id || sender.url?.split('?')[0] !== PAGE) {
    port.disconnect();
    return;
  }
  let id = null;
  port.onMessage.addListener((message) => {
    if (message === null || typeof message !== 'object') return;
    if (id === null) {
      const question = open.get(message.question);
      // Each question's own window answers it, no other.
      if (!question || question.port || (question.windowId !== null && sender.tab?.windowId !== question.windowId)) {
        port.disconnect();
        return;
      }
      id = message.question;
      question.port = port;
    } else if (message.answer === 'ok' || message.answer === 'cancel') {
      settle(id, message.answer);
    }
  });
  port.onDisconnect.addListener(() => {
    if (id !== null) settle(id, 'cancel');
  });
}

chrome.windows.onRemoved.addListener((windowId) => {
  for (const [id, question] of open) {
    if (question.windowId === windowId) settle(id, 'cancel');
  }
});
