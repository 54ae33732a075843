#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "rpcsc/certificate_fingerprint.h"
#include "server/reader_grant.h"

namespace vexa::rpcsc {

// Why a clients file was refused; line 0 when it could not be read at all.
struct ClientsFileError {
    std::size_t line = 0;
    std::string reason;
    std::string text() const; // "line 3: ..." or the reason alone
};

// The client certificates a TLS server admits, each with its readers. One
// entry a line: an optional "sha256 Fingerprint=" (any case), the
// fingerprint, then optionally blanks and a comma-separated list of reader
// names (exact, or a prefix ending in '*'; blanks around a name do not
// count). A fingerprint alone grants every reader. '#' starts a comment line;
// blank lines are fine.
class TlsClients {
public:
    // Larger is no clients file but a mistake.
    static constexpr std::size_t kMaxFileBytes = 1 << 20;

    // The table, or none with the first bad line in error.
    static std::optional<TlsClients> parse(std::string_view text, ClientsFileError& error);
    static std::optional<TlsClients> read(const std::string& path, ClientsFileError& error);

    // The readers of the certificate with this fingerprint (any form
    // canonicalFingerprint takes); none for a certificate not admitted.
    std::optional<ReaderGrant> grantFor(std::string_view fingerprint) const;
    std::size_t size() const { return grants_.size(); }

private:
    std::map<std::string, ReaderGrant, std::less<>> grants_;
};

// The clients file of a running server: read at the start and again on
// request (SIGHUP), while connection threads look certificates up in it.
//
// The TLS accept path calls grantFor() with the peer certificate's
// fingerprint once the handshake is done: none means the certificate is not
// (or no longer) admitted and the connection must be refused; otherwise the
// grant goes to the connection's PcscSession. generation() changes with
// every successful load, so a connection can tell when to look again.
class TlsClientsFile {
public:
    explicit TlsClientsFile(std::string path) : path_(std::move(path)) {}
    TlsClientsFile(const TlsClientsFile&) = delete;
    TlsClientsFile& operator=(const TlsClientsFile&) = delete;

    // Reads the file; on an error keeps the clients it had and returns false.
    bool load(ClientsFileError& error);
    std::optional<ReaderGrant> grantFor(std::string_view fingerprint) const;
    std::size_t size() const;
    std::size_t generation() const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    mutable std::mutex lock_;
    std::shared_ptr<const TlsClients> clients_;
    std::size_t generation_ = 0;
};

} // namespace vexa::rpcsc
