// Asks the browser for the add-on's site access, on the user's click as the
// browser requires, and closes its tab once the access is there.
'use strict';

const access = { origins: chrome.runtime.getManifest().host_permissions };
const text = document.getElementById('text');

async function done() {
  const tab = await chrome.tabs.getCurrent();
  if (tab) await chrome.tabs.remove(tab.id);
  else window.close();
}

document.getElementById('allow').addEventListener('click', async () => {
  try {
    if (await chrome.permissions.request(access)) {
      await done();
      return;
    }
    text.textContent = 'Die Erlaubnis wurde nicht erteilt. Ohne sie können Webseiten VEXA nicht nutzen.';
  } catch (error) {
    text.textContent = `Die Erlaubnis konnte nicht erfragt werden: ${error.message}`;
  }
});
// Granted elsewhere meanwhile (the add-ons manager).
chrome.permissions.onAdded.addListener(async () => {
  if (await chrome.permissions.contains(access)) await done();
});
