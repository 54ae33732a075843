// Page addresses come from pages, and the sites file from anything that can
// write to the user's config home.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/site_address.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// What Open makes of a page: a judgement the lists agree with.
void checkJudgement(const vexa::SiteAddress& page, std::size_t inputSize) {
    check(page.site.size() <= inputSize);
    check(!page.storable || page.kind == vexa::SiteAddress::Kind::Page);
    check(page.kind != vexa::SiteAddress::Kind::Opaque || page.site.empty());
    vexa::SiteList empty;
    check(!empty.admits(page));
    // A frame that inherits its origin is admitted by exactly that entry.
    if (page.kind == vexa::SiteAddress::Kind::Inherited)
        check(vexa::SiteList(page.site + "|", vexa::SiteList::Source::BuiltIn).admits(page));
    // What Open stores admits the page it was stored for, and reads back as
    // it was written.
    vexa::SiteList list;
    if (page.kind == vexa::SiteAddress::Kind::Page) check(list.add(page.site) == page.storable);
    if (page.storable) {
        check(list.admits(page));
        check(list.text() == page.site + "|");
        check(vexa::SiteList(list.text(), vexa::SiteList::Source::User).text() == list.text());
    }
}

} // namespace

// The input is a page address, a zero byte and the frame's origin, judged as
// narrow text and as UTF-8 from either source; the whole input is also read
// as a stored list.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto zero = input.find('\0');
    const std::string_view url = input.substr(0, zero);
    const std::string_view origin = zero == std::string_view::npos ? std::string_view() : input.substr(zero + 1);

    const vexa::SiteAddress page = vexa::judgePage(url, origin);
    checkJudgement(page, input.size());
    for (auto source : {vexa::PageIdentity::Source::Browser, vexa::PageIdentity::Source::Typed})
        checkJudgement(vexa::judgePage(vexa::PageIdentity{std::string(url), {}, std::string(origin), source}),
                       input.size());

    for (auto source : {vexa::SiteList::Source::User, vexa::SiteList::Source::BuiltIn}) {
        const vexa::SiteList read(input, source);
        check(read.text().size() <= input.size());
        check(vexa::SiteList(read.text(), source).text() == read.text());
        read.admits(page);
    }
    return 0;
}
