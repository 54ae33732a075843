#pragma once

#include <string>
#include <string_view>
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

// Judges a page by the address of its frame and the origin the browser gives
// for it ("" when it gives none). Both are untrusted text.
SiteAddress judgePage(std::string_view url, std::string_view origin);

// The site part of an address: query, fragment and user-info dropped, then
// cut at the last "/" of the path ("https://h/dir/page.html" gives
// "https://h/dir", "https://h/" gives "https://h").
std::string cutAddress(std::string_view address);

// The text Open asks with.
std::string siteQuestion(const SiteAddress& page);

// A list text of entries each followed by "|". The user's list keeps only
// entries that Open would store; the built-in list only entries with a host.
class SiteList {
public:
    enum class Source { BuiltIn, User };

    SiteList() = default;
    // Reads a list text entry by entry; text after the last "|", entries
    // the source does not allow and repeated entries are left out.
    SiteList(std::string_view text, Source source);

    bool admits(const SiteAddress& page) const;
    // Adds a site that Open may store (see judgePage) unless it is there
    // already; false for any other text.
    bool add(std::string_view site);
    // Takes the entry out; false when the list does not hold it.
    bool remove(std::string_view entry);
    std::vector<std::string> entries() const;
    // The list in its stored form, every entry followed by "|".
    const std::string& text() const { return text_; }

private:
    bool contains(std::string_view entry) const;

    std::string text_;
};

} // namespace vexa
