#pragma once
// Opens a page in headless Chromium (Debian's chromium) and reads back its screenshot and the
// console messages it logged. Tests skip when the browser is absent. Each run uses a fresh
// profile folder that is removed afterwards.
#include "RunJoulix.h"
#include "tests/Platform/TemporaryDirectory.h"

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

// A folder of its own for one browser run, removed afterwards, and the command that runs
// headless Chromium there with a fresh profile on `page`.
struct ChromiumRun {
    std::string command(const std::string& flags, const std::filesystem::path& page) const {
        return std::string(chromiumPath) +
               " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
               " --disable-background-networking --disable-component-update --disable-sync"
               " --hide-scrollbars --force-device-scale-factor=1 --user-data-dir=" +
               (folder.path() / "profile").string() + " " + flags + " 'file://" + page.string() +
               "'";
    }
    TemporaryDirectory folder;
};

// A screenshot of the page at 1280 px wide and `heightPx` tall.
inline std::optional<Screenshot> screenshotOf(const std::filesystem::path& page, int heightPx) {
    const ChromiumRun run;
    const auto png = run.folder.path() / "shot.png", log = run.folder.path() / "stderr.txt";
    runCommand(run.command("--enable-logging=stderr --v=0 --window-size=1280," +
                               std::to_string(heightPx) + " --screenshot=" + png.string(),
                           page) +
               " >/dev/null 2>" + log.string());
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
        std::istringstream in(readFile(log));
        for (std::string line; std::getline(in, line);) {
            if (line.find(":CONSOLE") != std::string::npos) shot->consoleMessages += line + "\n";
        }
    }
    return shot;
}

// How a page lays out at a viewport `widthPx` wide: how far it overflows to the right, and its
// smallest rendered text (HTML text by its computed size, SVG text scaled by its chart).
struct Layout {
    double overflowPx = 0;
    double smallestTextPx = 0;
    int textCount = 0;
};

// A copy of the page without its content security policy gets a script that measures it; the
// browser prints the measured DOM.
inline std::optional<Layout> layoutAt(const std::filesystem::path& page, int widthPx) {
    const ChromiumRun run;
    std::string copy = readFile(page);
    const auto policy = copy.find("<meta http-equiv=\"Content-Security-Policy\"");
    if (policy != std::string::npos) copy.erase(policy, copy.find('>', policy) + 1 - policy);
    copy.insert(copy.rfind("</body>"), R"(<script>
addEventListener('load', () => {
  let smallest = 1e9, count = 0;
  for (const e of document.querySelectorAll('body *')) {
    if (e.tagName === 'SCRIPT' || e.tagName === 'title') continue;
    const own = [...e.childNodes].some(n => n.nodeType === 3 && n.textContent.trim() !== '');
    if (!own) continue;
    let size = parseFloat(getComputedStyle(e).fontSize);
    if (e instanceof SVGElement) size *= e.ownerSVGElement.getScreenCTM().a;
    smallest = Math.min(smallest, size);
    ++count;
  }
  const out = document.createElement('pre');
  out.id = 'jlx-layout';
  out.textContent = (document.documentElement.scrollWidth - innerWidth) + ' ' + smallest + ' ' + count;
  document.body.appendChild(out);
});
</script>)");
    const auto measured = run.folder.path() / "page.html";
    std::ofstream(measured) << copy;
    const auto dom = runCommand(run.command("--virtual-time-budget=5000 --window-size=" +
                                                std::to_string(widthPx) + ",900 --dump-dom",
                                            measured) +
                                " 2>/dev/null");
    const auto at = dom.output.find("<pre id=\"jlx-layout\">");
    if (at == std::string::npos) return std::nullopt;
    Layout layout;
    std::istringstream(dom.output.substr(at + 21)) >> layout.overflowPx >> layout.smallestTextPx >>
        layout.textCount;
    return layout;
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
