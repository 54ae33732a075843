// How many vexa-host processes may run at once. Every embedded object starts
// one, long before any site question, so a page could otherwise fill the
// machine with them, or take every place and lock other pages out. Counted
// from the live sessions.

const PER_TAB = 16; // across all frames of one tab
const IN_ALL = 64;

const TOO_MANY_IN_TAB = 'too many VEXA objects in this tab';
const TOO_MANY_IN_ALL = 'too many VEXA objects in this browser';
const MADE_ROOM = 'closed to make room for a VEXA object in another tab';

// A session as the limits see it: { tab, admitted, asking, lastActive,
// end(reason) }. An admitted session's Open answered 0; an asking one shows
// the site question.
export class HostLimits {
  constructor() {
    this.live = new Set();
  }

  // Makes a place for one more host in tab: null when there is one (it may
  // have ended another tab's idle, unadmitted host for it), else why not.
  makeRoom(tab) {
    let inTab = 0;
    for (const session of this.live) if (session.tab === tab) inTab += 1;
    if (inTab >= PER_TAB) return TOO_MANY_IN_TAB;
    if (this.live.size < IN_ALL) return null;
    const idlest = this.idlestElsewhere(tab);
    if (!idlest) return TOO_MANY_IN_ALL;
    this.live.delete(idlest);
    idlest.end(MADE_ROOM);
    return null;
  }

  // Counts a started session until release(session).
  hold(session) {
    this.live.add(session);
  }

  release(session) {
    this.live.delete(session);
  }

  // The session idle longest that another tab holds and that may be ended
  // for room: never an admitted one, nor one whose question the user sees.
  idlestElsewhere(tab) {
    let idlest = null;
    for (const session of this.live) {
      if (session.tab === tab || session.admitted || session.asking) continue;
      if (!idlest || session.lastActive < idlest.lastActive) idlest = session;
    }
    return idlest;
  }
}
