// The systemd user unit of `joulix record`: systemd accepts it without a complaint, and it runs
// the recorder from where the install script puts it.
#include "RunJoulix.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

namespace fs = std::filesystem;

TEST(RecordServiceUnit, SystemdAcceptsItAndItRunsTheInstalledRecorder) {
    const fs::path unit = JOULIX_FIXTURES "/../../packaging/joulix-record.service";
    std::stringstream text;
    text << std::ifstream(unit).rdbuf();
    EXPECT_NE(text.str().find("\nExecStart=/usr/local/bin/joulix record\n"), std::string::npos);
    std::stringstream script;
    script << std::ifstream(JOULIX_FIXTURES "/../../scripts/install-service.sh").rdbuf();
    EXPECT_NE(script.str().find("/usr/local/bin/joulix\n"), std::string::npos);
    EXPECT_NE(script.str().find("/etc/systemd/user/joulix-record.service"), std::string::npos);

    if (joulix::testing::runCommand("command -v systemd-analyze >/dev/null").status != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    // Verified with the built joulix in place of the installed one, in a runtime folder of its own.
    const fs::path folder = fs::temp_directory_path() / "jlx-record-unit-test";
    fs::create_directories(folder / "runtime");
    std::string copy = text.str();
    copy.replace(copy.find("/usr/local/bin/joulix"), 21, joulix::testing::joulixPath);
    std::ofstream(folder / "joulix-record.service") << copy;
    const auto verified = joulix::testing::runCommand(
        "XDG_RUNTIME_DIR=" + (folder / "runtime").string() + " systemd-analyze verify --user " +
        (folder / "joulix-record.service").string() + " 2>&1");
    fs::remove_all(folder);
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_EQ(verified.output, "");
}

}  // namespace
