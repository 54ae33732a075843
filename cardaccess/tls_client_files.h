#pragma once

#include <optional>
#include <string>

#include "cardaccess/tls_connector.h"
#include "rpcsc/tls_stream.h"

namespace vexa {

// This user's TLS files, each judged and read through the same open file,
// so that what passed is what is used. The certificate and the CA count
// only when they and the folders holding them pass the rule for settings
// files (file_trust.h: nobody but the user and root can change them); the
// key only when it is the user's own and nobody else may read it either.
// None with failure saying why.
std::optional<TlsPem> readTlsClientFiles(const TlsClientFiles& files, std::string& failure);

} // namespace vexa
