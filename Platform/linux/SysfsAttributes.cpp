#include "Platform/linux/SysfsAttributes.h"

#include <charconv>
#include <fstream>

namespace joulix::sysfs {

std::optional<std::string> readText(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    const auto first = line.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    const auto last = line.find_last_not_of(" \t\r\n");
    return line.substr(first, last - first + 1);
}

std::optional<int64_t> readInteger(const std::string& path) {
    const auto text = readText(path);
    if (!text || text->empty()) return std::nullopt;
    const char* begin = text->data();
    const char* end = begin + text->size();
    if (*begin == '+') ++begin;
    int64_t value = 0;
    const auto [rest, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || rest != end) return std::nullopt;
    return value;
}

}  // namespace joulix::sysfs
