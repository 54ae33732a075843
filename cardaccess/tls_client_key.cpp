#include "cardaccess/tls_client_key.h"

#include "platform/file.h"
#include "support/file_trust.h"

namespace vexa {

bool clientKeyTrusted(const std::string& path, std::string& failure) {
    const platform::File file = platform::File::open(path, platform::FileAccess::Read);
    if (!file.valid()) {
        failure = "cannot read the key " + path;
        return false;
    }
    const std::string why = distrustOfPrivateKey(file);
    if (!why.empty()) failure = "the key " + path + " " + why;
    return why.empty();
}

} // namespace vexa
