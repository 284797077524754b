// The naming members of ProcessDrain: what a user sees for one process record.
#include "SharedModels/AppleProcessDetector.h"
#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/PathText.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <array>

namespace joulix {

namespace {

bool isPresentAndNotEmpty(const std::optional<std::string>& value) {
    return value && !value->empty();
}

// "Foo.app" → "Foo"; a leading dot is part of the name, not an extension.
std::string_view withoutExtension(std::string_view component) {
    const auto dot = component.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? component : component.substr(0, dot);
}

// The piece, lower-cased, ends with ".app". Only "A" and "P" lower-case to "a" and "p", so the
// last four bytes decide.
bool endsWithAppExtension(std::string_view piece) {
    if (piece.size() < 4) return false;
    const auto tail = piece.substr(piece.size() - 4);
    return tail[0] == '.' && (tail[1] == 'a' || tail[1] == 'A') &&
           (tail[2] == 'p' || tail[2] == 'P') && (tail[3] == 'p' || tail[3] == 'P');
}

}  // namespace

std::optional<std::string> ProcessDrain::topLevelAppBundlePath(std::string_view path) {
    std::string bundle;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto slash = std::min(path.find('/', start), path.size());
        const auto piece = path.substr(start, slash - start);
        start = slash + 1;
        if (piece.empty()) continue;
        bundle += '/';
        bundle += piece;
        if (endsWithAppExtension(piece)) return bundle;
    }
    return std::nullopt;
}

std::optional<std::string> ProcessDrain::reverseDNSLeafIdentifier(std::string_view text) {
    if (text.find('/') != std::string_view::npos || text.find(' ') != std::string_view::npos) {
        return std::nullopt;
    }
    std::vector<std::string_view> pieces;
    for (const auto piece : text::splitKeepingEmpty(text, '.')) {
        if (!piece.empty()) pieces.push_back(piece);
    }
    if (pieces.size() < 3) return std::nullopt;
    static constexpr std::array<std::string_view, 11> topLevelDomains{
        "com", "org", "net", "io", "dev", "edu", "gov", "app", "ai", "me", "co"};
    const auto first = text::lowercased(pieces.front());
    for (const auto domain : topLevelDomains) {
        if (first == domain) {
            const auto leaf = text::trim(pieces.back());
            if (leaf.empty()) return std::nullopt;
            return std::string(leaf);
        }
    }
    return std::nullopt;
}

std::string ProcessDrain::normalizedDisplayName(std::string_view raw) {
    const auto trimmed = text::trim(raw);
    if (trimmed.empty()) return std::string(raw);
    if (trimmed.size() >= 2 && trimmed.front() == '(' && trimmed.back() == ')') {
        const auto inside = text::trim(trimmed.substr(1, trimmed.size() - 2));
        if (!inside.empty()) return std::string(inside);
    }
    if (auto leaf = reverseDNSLeafIdentifier(trimmed)) return *leaf;
    return std::string(trimmed);
}

std::string ProcessDrain::processDisplayName() const {
    if (displayName && !text::isBlank(*displayName)) return *displayName;
    if (path::isPath(name)) {
        if (const auto bundle = topLevelAppBundlePath(name)) {
            return normalizedDisplayName(withoutExtension(path::lastComponent(*bundle)));
        }
        return normalizedDisplayName(path::lastComponent(name));
    }
    return normalizedDisplayName(name);
}

std::optional<std::string> ProcessDrain::processSubtitleText() const {
    if (path::isPath(name)) {
        if (auto bundle = topLevelAppBundlePath(name)) return bundle;
        return name;
    }
    if (isPresentAndNotEmpty(bundleID)) return bundleID;
    const auto trimmed = text::trim(name);
    if (!trimmed.empty() && trimmed != processDisplayName()) return std::string(trimmed);
    return std::nullopt;
}

std::optional<std::string> ProcessDrain::processExecutablePath() const {
    if (path::isPath(name)) return name;
    return std::nullopt;
}

int64_t ProcessDrain::processPresentationScore() const {
    int64_t score = 0;
    if (path::isPath(name)) {
        score += 10;
        if (topLevelAppBundlePath(name)) score += 20;
    }
    if (isPresentAndNotEmpty(bundleID)) score += 3;
    if (pid >= 1) score += 1;
    return score;
}

bool ProcessDrain::isAppleSystemProcess() const {
    return AppleProcessDetector::isAppleSystemProcess(name, bundleID, processDisplayName());
}

}  // namespace joulix
