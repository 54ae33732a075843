// The service worker. Content scripts connect one "vexa-control" port per
// embedded object, each served by a HostSession; the frame's address and
// origin come from the port's sender, never from the page. The question
// window connects a "vexa-question" port.

import { browserName } from './browser_name.js';
import { HostLimits } from './host_limits.js';
import { HostSession } from './host_session.js';
import { attachQuestionPage } from './question_box.js';

const browser = browserName();
const limits = new HostLimits();

// The frame as the browser names it. about:blank, srcdoc, blob: and data:
// frames have an address that says nothing; their origin tells whose they
// are ("null" when opaque, as in a sandboxed frame).
function frameOf(sender) {
  return {
    url: sender.url,
    origin: typeof sender.origin === 'string' ? sender.origin : undefined,
    tab: sender.tab?.id ?? -1,
  };
}

function startSession(port, frame) {
  const refusal = limits.refusal(frame);
  if (refusal) {
    port.postMessage({ type: 'gone', reason: refusal });
    port.disconnect();
    return;
  }
  new HostSession(port, frame, browser, limits.count(frame));
}

chrome.runtime.onConnect.addListener((port) => {
  const sender = port.sender;
  if (port.name === 'vexa-question') {
    attachQuestionPage(port);
  } else if (port.name === 'vexa-control' && sender?.id === chrome.runtime.id && typeof sender.url === 'string') {
    startSession(port, frameOf(sender));
  } else {
    port.disconnect();
  }
});
