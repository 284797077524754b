#include "Platform/MainBundle.h"

#include "Platform/PropertyList.h"

#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

namespace joulix {
namespace {

std::mutex bundleLock;
std::shared_ptr<const MainBundle> installedBundle;

const std::shared_ptr<const MainBundle>& noBundle() {
    static const std::shared_ptr<const MainBundle> none =
        std::make_shared<FixedMainBundle>(std::nullopt, std::nullopt);
    return none;
}

// libplist aborts when it hands out a dictionary key holding a NUL character (a binary list can
// encode one), so a list whose texts hold NUL is not read: its XML form then holds a NUL byte.
bool holdsNulCharacter(plist_t root) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    if (!xml) return true;
    const bool holdsNul = std::string_view(xml, length).find('\0') != std::string_view::npos;
    plist_to_xml_free(xml);
    return holdsNul;
}

// Info.plist files are small; anything past this is not one.
constexpr std::uintmax_t maximumInfoPlistBytes = 16 * 1024 * 1024;

std::shared_ptr<const MainBundle> bundleWithInfoPlist(const std::filesystem::path& plistPath) {
    std::error_code error;
    const auto size = std::filesystem::file_size(plistPath, error);
    if (error || size > maximumInfoPlistBytes) return noBundle();
    std::ifstream in(plistPath, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto info = infoDictionaryFromPropertyList(bytes);
    if (!info) return noBundle();
    std::optional<std::string> identifier;
    if (const auto found = info->find("CFBundleIdentifier"); found != info->end()) {
        if (const auto* text = std::get_if<std::string>(&found->second)) identifier = *text;
    }
    return std::make_shared<FixedMainBundle>(std::move(info), std::move(identifier));
}

// Read once: the executable does not move while the process runs.
const std::shared_ptr<const MainBundle>& platformBundle() {
    static const std::shared_ptr<const MainBundle> bundle = [] {
        std::error_code error;
        const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
        return error ? noBundle() : bundleEnclosingExecutable(executable.string());
    }();
    return bundle;
}

}  // namespace

std::shared_ptr<const MainBundle> mainBundle() {
    {
        std::lock_guard lock(bundleLock);
        if (installedBundle) return installedBundle;
    }
    return platformBundle();
}

void setMainBundle(std::shared_ptr<const MainBundle> bundle) {
    std::lock_guard lock(bundleLock);
    installedBundle = std::move(bundle);
}

std::shared_ptr<const MainBundle> bundleEnclosingExecutable(const std::string& executablePath) {
    namespace fs = std::filesystem;
    for (auto directory = fs::path(executablePath).lexically_normal().parent_path();
         !directory.empty(); directory = directory.parent_path()) {
        if (directory.filename().string().ends_with(".app")) {
            const auto plistPath = directory / "Contents" / "Info.plist";
            std::error_code error;
            if (fs::is_regular_file(plistPath, error)) return bundleWithInfoPlist(plistPath);
        }
        if (directory == directory.root_path()) break;
    }
    return noBundle();
}

std::optional<InfoDictionary> infoDictionaryFromPropertyList(std::string_view bytes) {
    if (bytes.empty()) return std::nullopt;
    const auto owner = parsePropertyList(bytes);
    const plist_t root = owner.get();
    if (!root) return std::nullopt;
    if (plist_get_node_type(root) != PLIST_DICT || holdsNulCharacter(root)) return std::nullopt;

    InfoDictionary info;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(root, &iterator);
    if (!iterator) return info;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root, iterator, &key, &value);
        if (!value) {
            std::free(key);
            break;
        }
        if (key) info.insert_or_assign(std::string(key), propertyListValue(value));
        std::free(key);
    }
    std::free(iterator);
    return info;
}

}  // namespace joulix
