// The browser's name and full version for the host's hello, e.g.
// "Chromium 156.0.8078.129". The host logs it as the client text.

// Brands in the order we prefer them; anything else (the GREASE entries such
// as "Not.A/Brand") is ignored.
const BRANDS = ['Google Chrome', 'Microsoft Edge', 'Opera', 'Brave', 'Chromium', 'HeadlessChrome'];

function fromBrands(list) {
  for (const brand of BRANDS) {
    const entry = list.find((item) => item.brand === brand);
    if (entry) return `${entry.brand} ${entry.version}`;
  }
  return null;
}

// Firefox and older Chromium builds have no userAgentData.
function fromUserAgent(userAgent) {
  const match = /(Firefox|Edg|OPR|Chromium|HeadlessChrome|Chrome)\/([\d.]+)/.exec(userAgent);
  if (!match) return 'unknown browser';
  const names = { Edg: 'Microsoft Edge', OPR: 'Opera' };
  return `${names[match[1]] ?? match[1]} ${match[2]}`;
}

export async function browserName() {
  const data = globalThis.navigator?.userAgentData;
  if (data) {
    try {
      const { fullVersionList } = await data.getHighEntropyValues(['fullVersionList']);
      const name = fromBrands(fullVersionList ?? []);
      if (name) return name;
    } catch {
      // Fall back to the user-agent string below.
    }
  }
  return fromUserAgent(globalThis.navigator?.userAgent ?? '');
}
