#pragma once
// The running program's bundle: its Info dictionary and identifier. On Linux the bundle is the
// ".app" directory enclosing the executable (Contents/Info.plist), when there is one; a bare
// executable has none. Tests install their own bundle with setMainBundle.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace joulix {

// One Info dictionary value; anything that is not a boolean, number or text is `Other`.
struct InfoOther {
    friend bool operator==(const InfoOther&, const InfoOther&) = default;
};
using InfoValue = std::variant<InfoOther, bool, int64_t, double, std::string>;
using InfoDictionary = std::map<std::string, InfoValue, std::less<>>;

class MainBundle {
  public:
    virtual ~MainBundle() = default;
    virtual std::optional<InfoDictionary> infoDictionary() const = 0;
    virtual std::optional<std::string> bundleIdentifier() const = 0;
};

// A bundle with fixed contents, for tests and for programs that have no bundle.
class FixedMainBundle final : public MainBundle {
  public:
    FixedMainBundle(std::optional<InfoDictionary> info, std::optional<std::string> identifier)
        : info_(std::move(info)), identifier_(std::move(identifier)) {}
    std::optional<InfoDictionary> infoDictionary() const override { return info_; }
    std::optional<std::string> bundleIdentifier() const override { return identifier_; }

  private:
    std::optional<InfoDictionary> info_;
    std::optional<std::string> identifier_;
};

// The process's main bundle: the one installed with setMainBundle, else the platform's.
std::shared_ptr<const MainBundle> mainBundle();
// Replaces the process's main bundle (nullptr restores the platform's).
void setMainBundle(std::shared_ptr<const MainBundle> bundle);

// The bundle enclosing an executable: the nearest ancestor directory whose name ends in ".app"
// and that holds Contents/Info.plist. Without one, a bundle with no dictionary and no identifier.
// The platform's main bundle is this, for the running executable, read once per process.
std::shared_ptr<const MainBundle> bundleEnclosingExecutable(const std::string& executablePath);
// The top-level dictionary of a property list (XML or binary); none when the bytes hold no
// dictionary. Values map to InfoValue; nested containers, data and dates become InfoOther.
std::optional<InfoDictionary> infoDictionaryFromPropertyList(std::string_view bytes);

}  // namespace joulix
