// The service worker. Content scripts connect one "vexa-control" port per
// embedded object, each served by a HostSession; the frame's address comes
// from the port's sender, never from the page. The question window connects
// a "vexa-question" port.

import { browserName } from './browser_name.js';
import { HostSession } from './host_session.js';
import { attachQuestionPage } from './question_box.js';

const browser = browserName();

chrome.runtime.onConnect.addListener((port) => {
  const sender = port.sender;
  if (port.name === 'vexa-question') {
    attachQuestionPage(port);
  } else if (port.name === 'vexa-control' && sender?.id === chrome.runtime.id && typeof sender.url === 'string') {
    new HostSession(port, sender.url, browser);
  } else {
    port.disconnect();
  }
});
