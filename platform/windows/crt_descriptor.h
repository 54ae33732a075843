#pragma once

#include <string>

namespace vexa::platform {

// Files are opened with CreateFileW, so that other holders may rename and
// replace them (FILE_SHARE_DELETE: the saved settings and the rotated log
// are renamed over open files, as on POSIX), and then held as CRT
// descriptors, which UniqueFd owns. -1 with errno set on failure.
int openDescriptor(const std::string& path, unsigned long access, unsigned long disposition, unsigned long attributes,
                   int crtFlags);

// Gives up the lock File::tryLock took through the descriptor (if any): the
// system may release a lock only some time after its file is closed, so it
// is released before.
void releaseLock(int fd);

} // namespace vexa::platform
