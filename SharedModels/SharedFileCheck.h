#pragma once
// Files written in shared places (the shared log, profiler traces in /tmp) are opened without
// following links; this is the check of what was opened, before anything is written or cut.
#include <sys/stat.h>
#include <unistd.h>

namespace joulix {

// A regular file with one link (a second may be planted beside another user's file), owned by
// this user or by root (another user's file there may be a trap or a forgery).
inline bool isSafeSharedFile(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_nlink == 1 &&
           (status.st_uid == ::geteuid() || status.st_uid == 0);
}

}  // namespace joulix
