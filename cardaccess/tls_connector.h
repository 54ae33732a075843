#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "rpcsc/byte_stream.h"

// How this platform speaks TLS to remote PC/SC servers: everything that
// depends on the TLS library is behind these two functions, in one source
// file chosen by the build.
namespace vexa {

// The PEM files of this user's side of a TLS connection.
struct TlsClientFiles {
    std::string ca;          // the CA the server's certificate must come from
    std::string certificate; // this user's certificate
    std::string key;         // its private key: this user's own, mode 0600
};

// Opens a TLS stream to host (an IP address the server's certificate must
// name) and port, handshake done, within timeoutMs: 0, or a Windows Sockets
// error number with failure saying why in words for the log.
using TlsConnector = std::function<std::int32_t(std::string_view host, std::uint16_t port, std::int32_t timeoutMs,
                                                std::unique_ptr<ByteStream>& stream, std::string& failure)>;

// The connector of one settings load, made once: the files read, the key's
// owner and mode checked. None with failure saying why when TLS cannot be
// used with these files, or not at all in this build.
std::optional<TlsConnector> makeTlsConnector(const TlsClientFiles& files, std::string& failure);

// The SHA-256 fingerprint of the certificate in a PEM file as 64 hex
// digits; none with failure saying why.
std::optional<std::string> certificateFingerprint(const std::string& path, std::string& failure);

} // namespace vexa
