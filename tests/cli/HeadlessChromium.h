#pragma once
// Opens a page in headless Chromium (Debian's chromium) and reads back its screenshot and the
// console messages it logged. Tests skip when the browser is absent. Each run uses a fresh
// profile folder that is removed afterwards.
#include "RunJoulix.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <png.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace joulix::testing {

inline const char* const chromiumPath = "/usr/bin/chromium";

inline bool haveChromium() {
    return ::access(chromiumPath, X_OK) == 0;
}

struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb{};     // row by row, three bytes a pixel
    std::string consoleMessages{};  // the browser's console lines, if any

    const uint8_t* at(int x, int y) const { return &rgb[(std::size_t(y) * width + x) * 3]; }
};

// A screenshot of the page at 1280 px wide and `heightPx` tall.
inline std::optional<Screenshot> screenshotOf(const std::filesystem::path& page, int heightPx) {
    char profileTemplate[] = "/tmp/jlx-chromium-XXXXXX";
    const char* profile = ::mkdtemp(profileTemplate);
    if (!profile) return std::nullopt;
    const std::filesystem::path folder = profile;
    const auto png = folder / "shot.png", log = folder / "stderr.txt";
    runCommand(std::string(chromiumPath) +
               " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
               " --disable-background-networking --disable-component-update --disable-sync"
               " --user-data-dir=" +
               (folder / "profile").string() +
               " --enable-logging=stderr --v=0 --hide-scrollbars --force-device-scale-factor=1"
               " --window-size=1280," +
               std::to_string(heightPx) + " --screenshot=" + png.string() + " 'file://" +
               page.string() + "' 2>" + log.string() + " >/dev/null");
    std::optional<Screenshot> shot;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, png.c_str())) {
        image.format = PNG_FORMAT_RGB;
        Screenshot result{int(image.width), int(image.height),
                          std::vector<uint8_t>(PNG_IMAGE_SIZE(image))};
        if (png_image_finish_read(&image, nullptr, result.rgb.data(), 0, nullptr))
            shot = std::move(result);
    }
    png_image_free(&image);
    if (shot) {
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) {
            if (line.find(":CONSOLE") != std::string::npos) shot->consoleMessages += line + "\n";
        }
    }
    std::filesystem::remove_all(folder);
    return shot;
}

struct ChartArea {
    int left, top, right, bottom;
};

// Plot areas found by their value axis: a vertical run, 150 px or longer, of the axis colour
// (#333333); the plot extends 1000 px to its right.
inline std::vector<ChartArea> chartAreas(const Screenshot& shot) {
    std::vector<ChartArea> areas;
    for (int x = 0; x + 1000 < shot.width; ++x) {
        for (int y = 0; y < shot.height;) {
            int end = y;
            while (end < shot.height && shot.at(x, end)[0] == 0x33 && shot.at(x, end)[1] == 0x33 &&
                   shot.at(x, end)[2] == 0x33)
                ++end;
            const bool seen = [&] {
                for (const ChartArea& a : areas)
                    if (a.left >= x - 2 && a.top < end && y < a.bottom) return true;
                return false;
            }();
            if (end - y >= 150 && !seen) areas.push_back({x, y, x + 1000, end});
            y = end + 1;
        }
    }
    return areas;
}

// Pixels of a saturated colour inside the area: what the series drew.
inline int drawnPixels(const Screenshot& shot, const ChartArea& area) {
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left + 3; x < area.right; ++x) {
            const uint8_t* p = shot.at(x, y);
            const int high = int(std::max({p[0], p[1], p[2]})),
                      low = int(std::min({p[0], p[1], p[2]}));
            if (high - low > 60) ++count;
        }
    }
    return count;
}

}  // namespace joulix::testing
