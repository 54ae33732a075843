#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "support/tov_file.h"

namespace vexa {

// Writes content to a temporary file beside path with the given mode, syncs
// it, and renames it over path, so that a failure at any point leaves the
// old file as it was. stamp receives the new file's stamp. The caller holds
// whatever lock keeps other writers out.
bool replaceFile(const std::string& path, std::string_view content, std::optional<FileStamp>& stamp,
                 mode_t mode = 0600);

} // namespace vexa
