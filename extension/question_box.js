// The site question of Open, shown in a small popup window of our own
// (question.html). Only that page can answer, so a web page can never answer
// on the user's behalf. The page holds a port to this worker: closing the
// window counts as Cancel, and a window whose worker is gone (the browser
// restarted it) closes itself.
//
// A tab shows one question at a time; the others wait in turn, so a page
// cannot bury the user in windows. When the user answers, the waiting
// questions of that tab with exactly the same caption and text get the same
// answer: the user has just answered that very text.
//
// A site the user has just refused is not asked again at once: for a while
// after a Cancel the same text in the same tab is answered with Cancel and
// no window, and after a few Cancels not until the tab loads a new document,
// so a page that makes a fresh object after each Cancel cannot ask on and on.

const PAGE = chrome.runtime.getURL('question.html');
const SIZE = { width: 460, height: 210 };
const QUIET_MS = 10000;
const CANCELS_PER_DOCUMENT = 3;

// tab -> Map of caption and text -> { cancels, until }: the user's Cancels.
const refused = new Map();

// tab -> its questions in turn; the first one is shown.
const turns = new Map();
// id of a shown question -> the question
const shown = new Map();

function show(question) {
  question.id = crypto.randomUUID();
  shown.set(question.id, question);
  const { id, caption, text } = question;
  const url = `${PAGE}?${new URLSearchParams({ id, caption, text })}`;
  chrome.windows.create({ url, type: 'popup', focused: true, ...SIZE }).then(
    (window) => {
      question.windowId = window.id;
      // Answered or dismissed while the window was being made.
      if (question.settled) chrome.windows.remove(window.id).catch(() => {});
    },
    () => settle(question, 'cancel', false),
  );
}

// Ends a question with answer; byUser: the user gave it (a button, or closing
// the window), so it also answers the same text waiting in the tab.
function settle(question, answer, byUser) {
  if (question.settled) return;
  question.settled = true;
  shown.delete(question.id);
  let turn = (turns.get(question.tab) ?? []).filter((other) => other !== question);
  question.reply(answer);
  try {
    question.port?.disconnect();
  } catch {
    // The window went first.
  }
  if (question.windowId !== null) chrome.windows.remove(question.windowId).catch(() => {});
  if (byUser) {
    remember(question, answer);
    const same = turn.filter((other) => other.caption === question.caption && other.text === question.text);
    turn = turn.filter((other) => !same.includes(other));
    for (const other of same) {
      other.settled = true;
      other.reply(answer);
    }
  }
  if (turn.length === 0) {
    turns.delete(question.tab);
    return;
  }
  turns.set(question.tab, turn);
  if (turn[0].id === null) show(turn[0]);
}

const keyOf = (caption, text) => JSON.stringify([caption, text]);

function remember({ tab, caption, text }, answer) {
  const byText = refused.get(tab) ?? new Map();
  const key = keyOf(caption, text);
  if (answer === 'ok') {
    byText.delete(key);
  } else {
    const cancels = (byText.get(key)?.cancels ?? 0) + 1;
    byText.set(key, { cancels, until: Date.now() + QUIET_MS });
  }
  if (byText.size > 0) refused.set(tab, byText);
  else refused.delete(tab);
}

function stillRefused(tab, caption, text) {
  const last = refused.get(tab)?.get(keyOf(caption, text));
  return last !== undefined && (last.cancels >= CANCELS_PER_DOCUMENT || Date.now() < last.until);
}

// Asks in tab and calls reply('ok' | 'cancel') exactly once, unless dismissed
// first. Returns a function that takes the question back without answering
// (the asking side is gone): its window closes, or it never shows. Its
// shown() tells whether the question is on screen now.
export function ask(tab, caption, text, reply) {
  const question = { tab, caption, text, reply, id: null, windowId: null, port: null, settled: false };
  const dismiss = () => {
    question.reply = () => {};
    settle(question, 'cancel', false);
  };
  dismiss.shown = () => question.id !== null && !question.settled;
  if (stillRefused(tab, caption, text)) {
    question.settled = true;
    queueMicrotask(() => question.reply('cancel'));
    return dismiss;
  }
  const turn = turns.get(tab) ?? [];
  turn.push(question);
  turns.set(tab, turn);
  if (turn.length === 1) show(question);
  return dismiss;
}

// A port named "vexa-question" from question.js: first { question: <id> },
// then { answer: 'ok' | 'cancel' }.
export function attachQuestionPage(port) {
  const sender = port.sender;
  if (sender?.id !== chrome.runtime.id || sender.url?.split('?')[0] !== PAGE) {
    port.disconnect();
    return;
  }
  let question = null;
  port.onMessage.addListener((message) => {
    if (message === null || typeof message !== 'object') return;
    if (question === null) {
      const asked = shown.get(message.question);
      // Each question's own window answers it, no other.
      if (!asked || asked.port || (asked.windowId !== null && sender.tab?.windowId !== asked.windowId)) {
        port.disconnect();
        return;
      }
      question = asked;
      question.port = port;
    } else if (message.answer === 'ok' || message.answer === 'cancel') {
      settle(question, message.answer, true);
    }
  });
  port.onDisconnect.addListener(() => {
    if (question !== null) settle(question, 'cancel', true);
  });
}

// A new document in the tab may ask again once the quiet time is over. Only
// a committed navigation of the top frame makes one: the tab's own "loading"
// also comes when a page merely changes its address (pushState, #hash).
chrome.webNavigation.onCommitted.addListener(({ tabId, frameId }) => {
  if (frameId !== 0) return;
  for (const last of refused.get(tabId)?.values() ?? []) last.cancels = 0;
});
chrome.tabs.onRemoved.addListener((tab) => refused.delete(tab));

chrome.windows.onRemoved.addListener((windowId) => {
  for (const question of shown.values()) {
    if (question.windowId === windowId) settle(question, 'cancel', true);
  }
});
