#include "Platform/linux/SysfsAttributes.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace joulix::sysfs {

std::optional<std::string> readText(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    // Attribute files are a page at most; read until the first line is complete.
    std::string line;
    char buffer[4096];
    bool failed = false;
    while (line.find('\n') == std::string::npos) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        failed = n < 0;
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (failed || line.empty()) return std::nullopt;
    line.resize(std::min(line.find('\n'), line.size()));
    const auto first = line.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    const auto last = line.find_last_not_of(" \t\r\n");
    return line.substr(first, last - first + 1);
}

std::optional<int64_t> parseInteger(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    const char* begin = text->data();
    const char* end = begin + text->size();
    if (*begin == '+') ++begin;
    int64_t value = 0;
    const auto [rest, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || rest != end) return std::nullopt;
    return value;
}

std::optional<int64_t> readInteger(const std::string& path) {
    return parseInteger(readText(path));
}

}  // namespace joulix::sysfs
