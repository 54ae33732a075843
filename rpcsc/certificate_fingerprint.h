#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexa::rpcsc {

// What starts a fingerprint line, as `openssl x509 -fingerprint -sha256`
// prints it; read in any case.
inline constexpr std::string_view kFingerprintLabel = "sha256 Fingerprint=";

// A SHA-256 certificate fingerprint in the form clients are keyed on: 64
// lower-case hex digits. Takes either case, with or without a colon between
// each pair of digits (as `openssl x509 -fingerprint -sha256` prints them).
std::optional<std::string> canonicalFingerprint(std::string_view text);
// The clients file's line for a canonical fingerprint, in openssl's form:
// "sha256 Fingerprint=AB:CD:...".
std::string fingerprintLine(std::string_view canonical);
// Whether text starts with kFingerprintLabel, in any case.
bool startsWithFingerprintLabel(std::string_view text);

} // namespace vexa::rpcsc
