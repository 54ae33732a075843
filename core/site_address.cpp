// How Open reads page addresses and lists of admitted sites. Everything here
// is untrusted text: a page chooses its own address, and the sites file is
// readable and writable by every program of the user.
#include "core/site_address.h"

#include <algorithm>

#include "support/codepage.h"
#include "support/text.h"

namespace vexa {
namespace {

constexpr char kSeparator = '|';

bool isControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

// Characters that may not stand in a stored entry: the list separator, and
// what a browser never leaves in an address it hands out.
bool isUnsafe(char c) {
    return c == kSeparator || c == '\\' || isControl(c);
}

bool hasUnsafe(std::string_view text) {
    return std::any_of(text.begin(), text.end(), isUnsafe);
}

bool isSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.';
}

// The scheme of an address ("" when it has none).
std::string_view schemeOf(std::string_view address) {
    const auto colon = address.find(':');
    if (colon == 0 || colon == std::string_view::npos) return {};
    const std::string_view scheme = address.substr(0, colon);
    const bool letterFirst = (scheme[0] >= 'a' && scheme[0] <= 'z') || (scheme[0] >= 'A' && scheme[0] <= 'Z');
    return letterFirst && std::all_of(scheme.begin(), scheme.end(), isSchemeChar) ? scheme : std::string_view();
}

// Where the authority of "scheme://authority/path" starts and ends; both
// npos for an address without one. A backslash ends it as "/" does, as it
// does in a browser.
struct AuthoritySpan {
    std::size_t begin = std::string_view::npos;
    std::size_t end = std::string_view::npos;
};

AuthoritySpan authorityOf(std::string_view address) {
    const std::string_view scheme = schemeOf(address);
    if (scheme.empty() || !address.substr(scheme.size() + 1).starts_with("//")) return {};
    const std::size_t begin = scheme.size() + 3;
    return {begin, std::min(address.find_first_of("/\\", begin), address.size())};
}

// Host and port of an authority without user-info.
struct HostPort {
    std::string_view host;
    bool portValid = true;
};

HostPort splitAuthority(std::string_view authority) {
    std::size_t hostEnd;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        hostEnd = close == std::string_view::npos ? authority.size() : close + 1;
    } else {
        hostEnd = std::min(authority.find(':'), authority.size());
    }
    HostPort result{authority.substr(0, hostEnd)};
    const std::string_view rest = authority.substr(hostEnd);
    if (!rest.empty()) {
        const std::string_view port = rest.substr(1);
        result.portValid = rest[0] == ':' && !port.empty() && port.size() <= 5 &&
                           std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    }
    return result;
}

// Query, fragment and user-info dropped; nothing else changes.
std::string stripAddress(std::string_view address) {
    address = address.substr(0, address.find('#'));
    address = address.substr(0, address.find('?'));
    std::string out(address);
    const AuthoritySpan span = authorityOf(out);
    if (span.begin != std::string_view::npos) {
        const auto at = std::string_view(out).substr(span.begin, span.end - span.begin).rfind('@');
        if (at != std::string_view::npos) out.erase(span.begin, at + 1);
    }
    return out;
}

// The host of an address ("" when it has none); user-info already dropped.
std::string_view hostOf(std::string_view address) {
    const AuthoritySpan span = authorityOf(address);
    if (span.begin == std::string_view::npos) return {};
    return splitAuthority(address.substr(span.begin, span.end - span.begin)).host;
}

bool isDecimalOctet(std::string_view text) {
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return false;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    return std::stoi(std::string(text)) <= 255;
}

// 127.0.0.0/8 as a dotted quad, [::1] and localhost: traffic that never
// leaves the machine, so plain http cannot be tampered with on the way.
bool isLoopbackHost(std::string_view host) {
    if (textEqualsNoCase(host, "localhost") || host == "[::1]") return true;
    if (!host.starts_with("127.")) return false;
    int octets = 0;
    for (std::size_t start = 0;; ++octets) {
        const auto dot = host.find('.', start);
        if (!isDecimalOctet(host.substr(start, dot - start))) return false;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return octets == 3;
}

} // namespace

std::string_view whyNotHonoured(std::string_view entry) {
    if (hasUnsafe(entry)) return "holds a control character, a backslash or a \"|\"";
    if (stripAddress(entry) != entry) return "holds a user name, a query or a fragment";
    const std::string_view host = hostOf(entry);
    if (host.empty()) return "names no host";
    // Anybody on the way could serve a page under such an address.
    if (textEqualsNoCase(schemeOf(entry), "http") && !isLoopbackHost(host)) return "is plain http to another machine";
    return {};
}

namespace {

// What Open may store: an address with a host, no character that could
// split or fake an entry, and over plain http only from loopback.
bool isStorableSite(std::string_view site) {
    return !site.empty() && whyNotHonoured(site).empty();
}

// scheme://host[:port] and nothing else.
bool isBareOrigin(std::string_view origin) {
    if (hasUnsafe(origin)) return false;
    const AuthoritySpan span = authorityOf(origin);
    if (span.begin == std::string_view::npos || span.end != origin.size()) return false;
    const std::string_view authority = origin.substr(span.begin);
    if (authority.find_first_of("@?#") != std::string_view::npos) return false;
    const HostPort parts = splitAuthority(authority);
    return !parts.host.empty() && parts.portValid;
}

// Frames whose address says nothing about who made them.
bool inheritsOrigin(std::string_view url) {
    const std::string_view scheme = schemeOf(url);
    return textEqualsNoCase(scheme, "about") || textEqualsNoCase(scheme, "blob") || textEqualsNoCase(scheme, "data");
}

// An entry admits the address itself and what lies below it, never a longer
// host name: "https://bank.example" must not admit
// "https://bank.example.attacker.test".
bool entryMatches(std::string_view entry, std::string_view address) {
    if (entry.empty() || !address.starts_with(entry)) return false;
    return address.size() == entry.size() || entry.back() == '/' || address[entry.size()] == '/';
}

} // namespace

std::string cutAddress(std::string_view address) {
    std::string stripped = stripAddress(address);
    const AuthoritySpan span = authorityOf(stripped);
    const std::size_t pathStart = span.end == std::string_view::npos ? 0 : span.end;
    const auto slash = stripped.rfind('/');
    if (slash != std::string::npos && slash >= pathStart) stripped.resize(slash);
    return stripped;
}

std::string narrowPageText(std::string_view utf8, PageIdentity::Source source) {
    // Every character beyond U+00FF starts with a byte from 0xC4 up; the
    // Windows conversion gave up on the whole address for one of them.
    const bool beyondLatin1 =
        std::any_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) >= 0xC4; });
    if (source == PageIdentity::Source::Browser && beyondLatin1) return {};
    return utf8ToCp1252(utf8);
}

SiteAddress judgePage(const PageIdentity& page) {
    return judgePage(narrowPageText(page.url, page.source), narrowPageText(page.origin, page.source));
}

SiteAddress judgePage(std::string_view url, std::string_view origin) {
    if (origin == "null") return {};
    if (inheritsOrigin(url)) {
        if (!isBareOrigin(origin)) return {};
        return {SiteAddress::Kind::Inherited, std::string(origin), false};
    }
    std::string site = cutAddress(url);
    const bool storable = isStorableSite(site);
    return {SiteAddress::Kind::Page, std::move(site), storable};
}

// Control characters shown as %XX, so a question cannot be broken into lines.
std::string shownSite(std::string_view site) {
    std::string out;
    for (char c : site) {
        if (isControl(c))
            out += "%" + formatInteger("%02X", static_cast<unsigned char>(c));
        else
            out += c;
    }
    return out;
}

std::string siteQuestion(const SiteAddress& page) {
    return "Darf von " + shownSite(page.site) + " auf Chipkartenleser zugegriffen werden?";
}

SiteList::SiteList(std::string_view text, Source source) : source_(source) {
    // Only text followed by "|" is an entry.
    for (auto bar = text.find(kSeparator); bar != std::string_view::npos; bar = text.find(kSeparator)) {
        const std::string_view entry = text.substr(0, bar);
        const bool kept = source == Source::User || !hostOf(entry).empty();
        if (kept && !entry.empty() && !known_.contains(std::string(entry))) append(entry);
        text.remove_prefix(bar + 1);
    }
}

void SiteList::append(std::string_view entry) {
    entries_.emplace_back(entry);
    known_.insert(entries_.back());
}

bool SiteList::admits(const SiteAddress& page) const {
    if (page.kind == SiteAddress::Kind::Inherited) return known_.contains(page.site) && honoured(page.site);
    if (page.kind != SiteAddress::Kind::Page) return false;
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const std::string& entry) { return entryMatches(entry, page.site) && honoured(entry); });
}

bool SiteList::honoured(std::string_view entry) const {
    return source_ == Source::BuiltIn || whyNotHonoured(entry).empty();
}

std::string SiteList::text() const {
    std::string out;
    for (const std::string& entry : entries_) out.append(entry).push_back(kSeparator);
    return out;
}

bool SiteList::remove(std::string_view entry) {
    if (known_.erase(std::string(entry)) == 0) return false;
    entries_.erase(std::find(entries_.begin(), entries_.end(), entry));
    return true;
}

bool SiteList::add(std::string_view site) {
    if (!isStorableSite(site)) return false;
    if (!known_.contains(std::string(site))) append(site);
    return true;
}

} // namespace vexa
