#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/tov_file.h"

namespace vexa {

// Writes content to a temporary file beside path with the given permission
// bits, syncs it, and renames it over path, so that a failure at any point
// leaves the old file as it was. stamp receives the new file's stamp. The
// caller holds whatever lock keeps other writers out.
bool replaceFile(const std::string& path, std::string_view content, std::optional<FileStamp>& stamp,
                 std::uint32_t mode = 0600);

} // namespace vexa
