#pragma once

#include "platform/file.h"

namespace vexa::platform {

// Writes content to a temporary file beside path with the given permission
// bits, syncs it, and renames it over path, so that a failure at any point
// leaves the old file as it was. written receives the new file's facts once
// its content is on the disk.
bool replaceAtomically(const std::string& path, std::string_view content, std::uint32_t permissions,
                       std::optional<FileFacts>& written);

} // namespace vexa::platform
