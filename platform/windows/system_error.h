#pragma once

#include <string>

namespace vexa::platform {

// Callers test errno (ENOENT for a missing file, EEXIST, ...) the way they do
// on POSIX; this sets it from the Windows error code of the failed call
// (GetLastError() when none is given) and returns the errno value.
int setErrnoFromWindowsError(unsigned long windowsError);
int setErrnoFromLastError();

// The system's own text for a Windows error code, in UTF-8, without the
// trailing line break.
std::string windowsErrorText(unsigned long windowsError);

} // namespace vexa::platform
