#include "Platform/BundleInfo.h"
#include "Platform/MainBundle.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace joulix {
namespace {

constexpr off_t maxInfoPlistBytes = 4 * 1024 * 1024;

// Reads a regular file of bounded size; anything else (missing, a FIFO, a device) is absent.
// The path derives from another process's executable path and the reader may run as root, so
// the file is looked at through a path-only descriptor first and a device or FIFO is never
// opened (opening one can have effects of its own); the regular file is then reopened through
// that descriptor, so a link swapped in meanwhile changes nothing.
std::optional<std::string> readRegularFile(const std::string& path) {
    const int pathFD = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (pathFD < 0) return std::nullopt;
    struct stat info {};
    int fd = -1;
    if (::fstat(pathFD, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maxInfoPlistBytes) {
        fd = ::open(("/proc/self/fd/" + std::to_string(pathFD)).c_str(), O_RDONLY | O_CLOEXEC);
    }
    ::close(pathFD);
    if (fd < 0) return std::nullopt;
    std::string contents(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t filled = 0;
    while (filled < contents.size()) {
        const ssize_t n = ::read(fd, contents.data() + filled, contents.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    contents.resize(filled);
    return contents;
}

std::optional<std::string> identifierInPlist(const std::string& bytes) {
    const auto info = infoDictionaryFromPropertyList(bytes);
    if (!info) return std::nullopt;
    const auto item = info->find("CFBundleIdentifier");
    if (item == info->end()) return std::nullopt;
    if (const auto* text = std::get_if<std::string>(&item->second)) return *text;
    return std::nullopt;
}

class PlistBundleInfoReader final : public BundleInfoReader {
  public:
    std::optional<std::string> bundleIdentifier(const std::string& bundlePath) const override {
        auto bytes = readRegularFile(bundlePath + "/Contents/Info.plist");
        if (!bytes) bytes = readRegularFile(bundlePath + "/Info.plist");
        if (!bytes || bytes->empty()) return std::nullopt;
        return identifierInPlist(*bytes);
    }
};

}  // namespace

std::shared_ptr<const BundleInfoReader> systemBundleInfoReader() {
    static const auto reader = std::make_shared<PlistBundleInfoReader>();
    return reader;
}

}  // namespace joulix
