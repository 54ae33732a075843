#include "server/tls_clients.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file.h"

namespace vexa::rpcsc {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Reader names, or none with the reason in error.
std::optional<std::vector<std::string>> readerNames(std::string_view list, std::string& error) {
    std::vector<std::string> names;
    for (;;) {
        const std::size_t comma = list.find(',');
        const std::string_view name = trimmed(list.substr(0, comma));
        if (name.empty()) {
            error = "an empty reader name in the list";
            return std::nullopt;
        }
        names.emplace_back(name);
        if (comma == std::string_view::npos) return names;
        list.remove_prefix(comma + 1);
    }
}

} // namespace

std::string ClientsFileError::text() const {
    return line == 0 ? reason : "line " + std::to_string(line) + ": " + reason;
}

std::optional<TlsClients> TlsClients::parse(std::string_view text, ClientsFileError& error) {
    TlsClients clients;
    std::map<std::string, std::size_t, std::less<>> lineOf;
    const auto refuse = [&](std::size_t line, std::string reason) {
        error = {line, std::move(reason)};
        return std::nullopt;
    };
    for (std::size_t number = 1; !text.empty(); ++number) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1); // a file written on Windows
        if (std::any_of(line.begin(), line.end(), [](char c) { return c != '\t' && (c >= 0 && c < ' '); }))
            return refuse(number, "a control character");
        line = trimmed(line);
        if (line.empty() || line.front() == '#') continue;
        if (startsWithFingerprintLabel(line)) line.remove_prefix(kFingerprintLabel.size());
        const auto blank = std::find_if(line.begin(), line.end(), isBlank);
        const std::string_view given(line.begin(), blank);
        const auto fingerprint = canonicalFingerprint(given);
        if (!fingerprint)
            return refuse(number, "not a SHA-256 fingerprint (64 hex digits): \"" + std::string(given) + "\"");
        ReaderGrant grant;
        if (const std::string_view list = trimmed(std::string_view(blank, line.end())); !list.empty()) {
            std::string reason;
            auto names = readerNames(list, reason);
            if (!names) return refuse(number, reason);
            grant = ReaderGrant::only(std::move(*names));
        }
        if (const auto [at, added] = lineOf.emplace(*fingerprint, number); !added)
            return refuse(number, "the fingerprint of line " + std::to_string(at->second) + " again");
        clients.grants_.emplace(*fingerprint, std::move(grant));
    }
    return clients;
}

std::optional<TlsClients> TlsClients::read(const std::string& path, ClientsFileError& error) {
    // Opened without waiting and judged by what was opened: a FIFO or a
    // device at the path must not hold the server (a reload runs on its
    // accepting thread).
    platform::File file = platform::File::open(path, platform::FileAccess::ReadAtOnce);
    if (!file.valid()) {
        error = {0, "cannot read " + path + ": " + std::strerror(errno)};
        return std::nullopt;
    }
    if (const auto facts = file.facts(); !facts || !facts->isRegular) {
        error = {0, path + " is not a regular file"};
        return std::nullopt;
    }
    std::string text(kMaxFileBytes + 1, '\0');
    const std::int64_t got = file.read(text);
    if (got < 0) {
        error = {0, "cannot read " + path + ": " + std::strerror(errno)};
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(got));
    if (text.size() > kMaxFileBytes) {
        error = {0, path + " is larger than " + std::to_string(kMaxFileBytes) + " bytes"};
        return std::nullopt;
    }
    return parse(text, error);
}

std::optional<ReaderGrant> TlsClients::grantFor(std::string_view fingerprint) const {
    const auto canonical = canonicalFingerprint(fingerprint);
    if (!canonical) return std::nullopt;
    const auto found = grants_.find(*canonical);
    if (found == grants_.end()) return std::nullopt;
    return found->second;
}

bool TlsClientsFile::load(ClientsFileError& error) {
    auto clients = TlsClients::read(path_, error);
    if (!clients) return false;
    auto shared = std::make_shared<const TlsClients>(std::move(*clients));
    std::lock_guard guard(lock_);
    clients_ = std::move(shared);
    ++generation_;
    return true;
}

std::optional<ReaderGrant> TlsClientsFile::grantFor(std::string_view fingerprint) const {
    std::shared_ptr<const TlsClients> clients;
    {
        std::lock_guard guard(lock_);
        clients = clients_;
    }
    if (!clients) return std::nullopt;
    return clients->grantFor(fingerprint);
}

std::size_t TlsClientsFile::size() const {
    std::lock_guard guard(lock_);
    return clients_ ? clients_->size() : 0;
}

std::size_t TlsClientsFile::generation() const {
    std::lock_guard guard(lock_);
    return generation_;
}

} // namespace vexa::rpcsc
