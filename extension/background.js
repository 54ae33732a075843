// The service worker. Content scripts connect one "vexa-control" port per
// embedded object, each served by a HostSession; the frame's address and
// origin come from the port's sender, never from the page. The question
// window connects a "vexa-question" port.

import { browserName } from './browser_name.js';
import { HostLimits } from './host_limits.js';
import { HostSession } from './host_session.js';
import { attachQuestionPage } from './question_box.js';
import { offerSiteAccess } from './site_access.js';

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
  const refusal = limits.makeRoom(frame.tab);
  if (refusal) {
    port.postMessage({ type: 'gone', reason: refusal });
    port.disconnect();
    return;
  }
  limits.hold(new HostSession(port, frame, browser, (session) => limits.release(session)));
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

// Once when the browser starts or the add-on arrives, not each time an
// idle worker wakes.
chrome.runtime.onStartup.addListener(offerSiteAccess);
chrome.runtime.onInstalled.addListener(offerSiteAccess);
