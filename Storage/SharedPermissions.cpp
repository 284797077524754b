// SQLiteSnapshotStore::ensureSharedSnapshotSidecarPermissions: keeps the shared database, its
// directory (sticky, 1777) and its WAL sidecars (0666) writable for every user.
//
// It runs as root inside a world-writable directory, so it never follows a symbolic link: each
// path component below the shared root is opened with O_NOFOLLOW, its type is checked, and the
// mode is changed through that descriptor. A file with more than one hard link is left alone:
// the link may have been planted there for another file.
#include "Storage/SQLiteSnapshotStore.h"

#include "SharedModels/SharedRoot.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace joulix {

namespace {
// Sticky, like the shared users' area itself: every user may add files, none may remove or
// replace another user's.
constexpr mode_t sharedDirectoryMode = 01777;
constexpr mode_t sharedFileMode = 0666;

class PathDescriptor {
  public:
    explicit PathDescriptor(int fd) : fd_(fd) {}
    PathDescriptor(const PathDescriptor&) = delete;
    PathDescriptor& operator=(const PathDescriptor&) = delete;
    PathDescriptor& operator=(PathDescriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~PathDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Opens `name` inside `directory` as a path-only descriptor, without following a link.
PathDescriptor openEntry(int directory, const std::string& name, int extraFlags = 0) {
    return PathDescriptor(
        ::openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC | extraFlags));
}

// fchmod refuses path-only descriptors; the descriptor's /proc link names exactly the entry
// that was opened, so changing the mode through it cannot be redirected.
void changeMode(const PathDescriptor& entry, mode_t mode) {
    char link[40];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", entry.get());
    ::chmod(link, mode);
}

// The components of `relative`, or none when one of them would climb out of the shared root.
std::vector<std::string> componentsBelowRoot(std::string_view relative) {
    std::vector<std::string> components;
    while (!relative.empty()) {
        auto slash = relative.find('/');
        auto component = relative.substr(0, slash);
        if (component == "..") return {};
        if (!component.empty() && component != ".") components.emplace_back(component);
        relative =
            slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
    }
    return components;
}
}  // namespace

void SQLiteSnapshotStore::ensureSharedSnapshotSidecarPermissions(const std::string& databasePath) {
    std::string prefix = sharedRoot() + "/";
    if (!databasePath.starts_with(prefix)) return;
    auto components = componentsBelowRoot(std::string_view(databasePath).substr(prefix.size()));
    if (components.empty()) return;

    PathDescriptor directory(::open(prefix.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (size_t i = 0; i + 1 < components.size() && directory.get() >= 0; ++i) {
        directory = openEntry(directory.get(), components[i], O_DIRECTORY);
    }
    if (directory.get() < 0) return;
    // The shared root itself keeps its own mode (its sticky bit protects every user's files).
    if (components.size() > 1) changeMode(directory, sharedDirectoryMode);

    for (const char* suffix : {"", "-wal", "-shm"}) {
        PathDescriptor file = openEntry(directory.get(), components.back() + suffix);
        struct stat status;
        if (file.get() >= 0 && ::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_nlink == 1) {
            changeMode(file, sharedFileMode);
        }
    }
}

}  // namespace joulix
