// The service worker: one HostSession per embedded object. The content script
// of the object's frame connects a runtime port named "vexa-control"; the
// frame's address comes from the port's sender, never from the page.

import { browserName } from './browser_name.js';
import { HostSession } from './host_session.js';

const browser = browserName();

chrome.runtime.onConnect.addListener((port) => {
  const sender = port.sender;
  const fromOurContentScript = port.name === 'vexa-control' && sender?.id === chrome.runtime.id && typeof sender.url === 'string';
  if (!fromOurContentScript) {
    port.disconnect();
    return;
  }
  new HostSession(port, sender.url, browser);
});
