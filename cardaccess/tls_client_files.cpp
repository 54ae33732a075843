#include "cardaccess/tls_client_files.h"

#include "platform/file.h"
#include "support/file_trust.h"

namespace vexa {
namespace {

// Reads one file into text; false with failure saying why.
bool readTrusted(const std::string& path, std::string_view what, bool secret, SecureString& text,
                 std::string& failure) {
    const std::string name = "the " + std::string(what) + " " + path;
    if (const std::string why = distrustOfFolders(path); !why.empty()) {
        failure = name + ": " + why;
        return false;
    }
    platform::File file = platform::File::open(path, platform::FileAccess::Read);
    if (!file.valid()) {
        failure = "cannot read " + name;
        return false;
    }
    if (const std::string why = secret ? distrustOfPrivateKey(file) : distrustOfOpenFile(file); !why.empty()) {
        failure = name + " " + why;
        return false;
    }
    if (file.readAll(text, kMaxPemFile)) return true;
    failure = text.size() > kMaxPemFile ? name + " is too large" : "cannot read " + name;
    return false;
}

} // namespace

std::optional<TlsPem> readTlsClientFiles(const TlsClientFiles& files, std::string& failure) {
    TlsPem pem{{files.certificate, files.key, files.ca}, {}, {}, {}};
    // The key first: whether it is still secret matters most.
    if (!readTrusted(files.key, "key", true, pem.key, failure) ||
        !readTrusted(files.certificate, "certificate", false, pem.certificate, failure) ||
        !readTrusted(files.ca, "CA certificate", false, pem.ca, failure))
        return std::nullopt;
    return pem;
}

} // namespace vexa
