// How many vexa-host processes may run at once. Every embedded object starts
// one, long before any site question, so a page could otherwise fill the
// machine with them. Counted from the live native ports.

const PER_PAGE = 16; // per tab and frame origin
const IN_ALL = 64;

export class HostLimits {
  constructor() {
    this.live = new Map(); // "tab origin" -> count
    this.total = 0;
  }

  // Why no further host may start for this frame ({ tab, url, origin }), or null.
  refusal(frame) {
    if ((this.live.get(keyOf(frame)) ?? 0) >= PER_PAGE) return 'too many VEXA objects on this page';
    if (this.total >= IN_ALL) return 'too many VEXA objects in this browser';
    return null;
  }

  // Counts one host of this frame until the returned function is called.
  count(frame) {
    const key = keyOf(frame);
    this.live.set(key, (this.live.get(key) ?? 0) + 1);
    this.total += 1;
    let counted = true;
    return () => {
      if (!counted) return;
      counted = false;
      this.total -= 1;
      const left = this.live.get(key) - 1;
      if (left > 0) this.live.set(key, left);
      else this.live.delete(key);
    };
  }
}

// A browser that gives no origin (older Firefox): the address's own.
function keyOf({ tab, url, origin }) {
  if (origin === undefined) {
    try {
      origin = new URL(url).origin;
    } catch {
      origin = url;
    }
  }
  return `${tab} ${origin}`;
}
