#include "Platform/linux/SysfsAttributes.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace joulix::sysfs {

namespace {

std::string_view trimmedBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// The file's bytes from the start until `isEnough(contents)` or the end of the file; absent when
// it cannot be opened or read.
template <class IsEnough>
std::optional<std::string> readUntil(const std::string& path, IsEnough isEnough) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string contents;
    char buffer[4096];
    bool failed = false;
    while (!isEnough(contents)) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        failed = n < 0;
        if (n <= 0) break;
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (failed) return std::nullopt;
    return contents;
}

}  // namespace

std::optional<std::string> readText(const std::string& path) {
    // Attribute files are a page at most; reading stops once the first line is complete.
    auto line = readUntil(
        path, [](const std::string& read) { return read.find('\n') != std::string::npos; });
    if (!line || line->empty()) return std::nullopt;
    line->resize(std::min(line->find('\n'), line->size()));
    return std::string(trimmedBlanks(*line));
}

std::optional<std::string> readFile(const std::string& path, std::size_t limit) {
    auto contents =
        readUntil(path, [limit](const std::string& read) { return read.size() >= limit; });
    if (contents && contents->size() > limit) contents->resize(limit);
    return contents;
}

std::vector<std::pair<std::string, std::string>>
powerSupplyUeventProperties(std::string_view text) {
    constexpr std::string_view prefix = "POWER_SUPPLY_";
    std::vector<std::pair<std::string, std::string>> properties;
    while (!text.empty()) {
        const auto end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const auto equals = line.find('=');
        if (!line.starts_with(prefix) || equals == std::string_view::npos) continue;
        std::string name(line.substr(prefix.size(), equals - prefix.size()));
        if (name.empty()) continue;
        for (char& c : name) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        properties.emplace_back(std::move(name),
                                std::string(trimmedBlanks(line.substr(equals + 1))));
    }
    return properties;
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
