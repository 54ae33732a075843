#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vexa {

// What Open makes of the page that embeds the plug-in.
struct SiteAddress {
    enum class Kind {
        // No site to ask about (a sandboxed frame, a data: page): refused.
        Opaque,
        // A page with an address of its own, judged by site and path prefix.
        Page,
        // A frame without an address of its own (about:blank, srcdoc, blob:,
        // data:) that runs with its creator's origin: only an entry that is
        // exactly that bare origin admits it.
        Inherited,
    };

    Kind kind = Kind::Opaque;
    // What the question shows and the lists are compared with.
    std::string site;
    // Whether an OK may add site to the user's list.
    bool storable = false;
};

// Who the page is, as whoever hosts the plug-in learnt it: UTF-8 texts as
// they came, untrusted.
struct PageIdentity {
    // How the address texts reached the host. A browser reports them as wide
    // strings, which the Windows conversion to narrow text gave up on
    // entirely for a character beyond U+00FF; typed ones (the shell's
    // command line) are narrowed character by character, as script strings.
    enum class Source { Browser, Typed };

    std::string url;          // address of the frame whose script embeds the object; "" when unknown
    std::string browser = {}; // browser name and version
    std::string origin = {};  // the browser's origin of that frame; "" when not given, "null" for an opaque one
    Source source = Source::Browser;
};

// An address text of the page as Open judges it: Windows-1252, or "" when
// its source cannot narrow it.
std::string narrowPageText(std::string_view utf8, PageIdentity::Source source);

// Judges a page by the address of its frame and the origin the browser gives
// for it ("" when it gives none), both narrow. Both are untrusted text.
SiteAddress judgePage(std::string_view url, std::string_view origin);
// The same for the page as its host reports it.
SiteAddress judgePage(const PageIdentity& page);

// The site part of an address: query, fragment and user-info dropped, then
// cut at the last "/" of the path ("https://h/dir/page.html" gives
// "https://h/dir", "https://h/" gives "https://h").
std::string cutAddress(std::string_view address);

// A site or entry as a person is shown it: control characters as %XX, so
// that it cannot break a line or steer a terminal.
std::string shownSite(std::string_view site);

// The text Open asks with.
std::string siteQuestion(const SiteAddress& page);

// Why the user's list does not admit by an entry it holds (a reason to show
// after the entry, "" when the entry counts): entries that Open would no
// longer store are kept in the file but do not admit anything.
std::string_view whyNotHonoured(std::string_view entry);

// A list text of entries each followed by "|". The user's list admits only by
// entries that Open would store, but keeps the others in their place, so that
// saving it loses nothing the user wrote; the built-in list holds only
// entries with a host.
class SiteList {
public:
    enum class Source { BuiltIn, User };

    SiteList() = default;
    // Reads a list text entry by entry; text after the last "|", empty and
    // repeated entries and entries the built-in list does not allow are left
    // out. Linear in the length of the text.
    SiteList(std::string_view text, Source source);

    bool admits(const SiteAddress& page) const;
    // Adds a site that Open may store (see judgePage) unless it is there
    // already; false for any other text.
    bool add(std::string_view site);
    // Takes the entry out, honoured or not; false when the list does not
    // hold it.
    bool remove(std::string_view entry);
    // Every entry in list order, honoured or not (see whyNotHonoured).
    const std::vector<std::string>& entries() const { return entries_; }
    // The list in its stored form, every entry followed by "|".
    std::string text() const;

private:
    void append(std::string_view entry);
    bool honoured(std::string_view entry) const;

    Source source_ = Source::User;

    std::vector<std::string> entries_;
    // The same entries, for finding one without a walk through the list.
    std::unordered_set<std::string> known_;
};

} // namespace vexa
