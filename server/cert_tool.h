#pragma once

#include <span>
#include <string_view>

namespace vexa::rpcsc {

// `vexa-rpcscd certs ...`: makes the CA, server and client certificates of
// a TLS setup without an external authority. args are those after "certs";
// returns the exit status.
int runCertTool(std::span<const std::string_view> args);

} // namespace vexa::rpcsc
