// A power_supply tree whose two batteries and adapter publish any bytes in their uevents gives a
// battery sample with a level between 0 and 100 and finite, non-negative watts and energy.
// The input is split at NUL bytes into the uevents of BAT0, BAT1 and AC.
#include "MetricsCollectors/DirectBatteryStatusReader.h"
#include "Platform/linux/SysfsPowerSources.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

// A folder of this process, removed at exit.
struct Folder {
    std::filesystem::path path;
    Folder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "jlx-fuzz-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Folder sys;
    std::string_view text(data ? reinterpret_cast<const char*>(data) : "", data ? size : 0);
    for (const char* supply : {"BAT0", "BAT1", "AC"}) {
        const auto end = std::min(text.find('\0'), text.size());
        const auto directory = sys.path / "class/power_supply" / supply;
        std::filesystem::create_directories(directory);
        std::ofstream(directory / "uevent", std::ios::binary | std::ios::trunc)
            << text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    joulix::DirectBatteryStatusReader reader(
        std::make_shared<joulix::SysfsPowerSources>(sys.path.string()));
    const auto sample = reader.sampleWithPowerSource().sample;
    if (!sample) return 0;
    if (sample->levelPercent && !(*sample->levelPercent >= 0 && *sample->levelPercent <= 100))
        std::abort();
    for (const auto& figure : {sample->dischargeWatts, sample->remainingWh}) {
        if (figure && !std::isfinite(*figure)) std::abort();
    }
    if (sample->dischargeWatts && *sample->dischargeWatts < 0) std::abort();
    return 0;
}
