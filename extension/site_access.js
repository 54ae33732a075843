// Firefox does not grant an add-on's site access when a profile finds the
// add-on already installed (a system package); without it no page sees
// VEXA. At start, when access is missing, the add-on shows its own page,
// where one click asks for it.

const PAGE = 'site_access.html';
let shown = false;

export async function offerSiteAccess() {
  const access = { origins: chrome.runtime.getManifest().host_permissions };
  if (shown || (await chrome.permissions.contains(access))) return;
  shown = true;
  await chrome.tabs.create({ url: chrome.runtime.getURL(PAGE) });
}
