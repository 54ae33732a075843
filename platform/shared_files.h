#pragma once

#include <cstdint>
#include <string>

namespace vexa::platform {

// Files that programs of other users read (the browsers' host manifests).

// Creates one folder, readable and searchable by every user whatever the
// umask. 0, or an errno value: EEXIST when something is there already.
int makeSharedFolder(const std::string& path);

// 0, or an errno value (ENOENT when there is no such file).
int removeFile(const std::string& path);

// This process's id, for names of temporary files.
std::uint32_t processId();

// The full path of the running program; "" when the system does not tell.
std::string executablePath();

} // namespace vexa::platform
