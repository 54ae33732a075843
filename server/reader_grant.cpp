#include "server/reader_grant.h"

#include <algorithm>

namespace vexa::rpcsc {

ReaderGrant ReaderGrant::only(std::vector<std::string> names) {
    ReaderGrant grant;
    grant.all_ = false;
    for (std::string& name : names) {
        if (name.ends_with('*')) {
            name.pop_back();
            grant.prefixes_.push_back(std::move(name));
        } else {
            grant.exact_.push_back(std::move(name));
        }
    }
    return grant;
}

bool ReaderGrant::admits(std::string_view reader) const {
    if (all_) return true;
    return std::find(exact_.begin(), exact_.end(), reader) != exact_.end() ||
           std::any_of(prefixes_.begin(), prefixes_.end(),
                       [&](const std::string& prefix) { return reader.starts_with(prefix); });
}

std::string ReaderGrant::text() const {
    if (all_) return "*";
    std::string text;
    const auto append = [&](std::string_view name, std::string_view suffix) {
        if (!text.empty()) text += ", ";
        text.append(name).append(suffix);
    };
    for (const std::string& name : exact_) append(name, "");
    for (const std::string& prefix : prefixes_) append(prefix, "*");
    return text;
}

} // namespace vexa::rpcsc
