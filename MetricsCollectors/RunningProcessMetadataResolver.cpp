#include "MetricsCollectors/RunningProcessMetadataResolver.h"

#include "SharedModels/Text.h"

#include <algorithm>

namespace joulix {
namespace {

// Byte offset of the first ASCII case-insensitive occurrence of `needle` (lower-case).
std::size_t findIgnoringCase(std::string_view haystack, std::string_view needle) {
    const auto found = std::search(
        haystack.begin(), haystack.end(), needle.begin(), needle.end(), [](char a, char b) {
            const auto lower = (a >= 'A' && a <= 'Z') ? a - 'A' + 'a' : a;
            return lower == b;
        });
    return found == haystack.end() ? std::string_view::npos
                                   : static_cast<std::size_t>(found - haystack.begin());
}

}  // namespace

RunningProcessMetadataResolver::RunningProcessMetadataResolver(
    std::shared_ptr<const ProcessTable> processTable,
    std::shared_ptr<const RunningApplicationRegistry> applications,
    std::shared_ptr<const BundleInfoReader> bundles)
    : processTable_(std::move(processTable)), applications_(std::move(applications)),
      bundleIdentifierCache_(std::make_unique<BundleIdentifierCache>(std::move(bundles))) {}

std::optional<std::string>
RunningProcessMetadataResolver::bundlePath(std::string_view executablePath) {
    if (executablePath.ends_with(".app") || executablePath.ends_with(".xpc")) {
        return std::string(executablePath);
    }
    auto match = findIgnoringCase(executablePath, ".app/");
    if (match == std::string_view::npos) match = findIgnoringCase(executablePath, ".xpc/");
    if (match == std::string_view::npos) return std::nullopt;
    // Up to and including the match, less the final "/".
    return std::string(executablePath.substr(0, match + 4));
}

std::optional<RunningProcessMetadata> RunningProcessMetadataResolver::resolve(int32_t pid) const {
    std::optional<std::string> executablePath;
    if (const auto raw = processTable_->executablePath(pid))
        executablePath = text::repairUTF8(*raw);

    std::optional<std::string> bundle;
    if (executablePath) bundle = bundlePath(*executablePath);
    if (bundle) {
        if (auto identifier = bundleIdentifierCache_->bundleIdentifier(*bundle)) {
            return RunningProcessMetadata{executablePath, bundle, std::move(identifier)};
        }
    }

    std::optional<std::string> bundleID;
    const auto application = applications_->runningApplication(pid);
    if (!bundle && application) bundle = application->bundlePath;
    if (application && application->bundleIdentifier) {
        bundleID = application->bundleIdentifier;
    } else if (bundle) {
        bundleID = bundleIdentifierCache_->bundleIdentifier(*bundle);
    }

    if (!executablePath && !bundle && !bundleID) return std::nullopt;
    return RunningProcessMetadata{std::move(executablePath), std::move(bundle),
                                  std::move(bundleID)};
}

const RunningProcessMetadataResolver& RunningProcessMetadataResolver::system() {
    static const RunningProcessMetadataResolver resolver;
    return resolver;
}

RunningProcessMetadataLookup RunningProcessMetadataResolver::systemLookup() {
    return [](int32_t pid) { return system().resolve(pid); };
}

}  // namespace joulix
