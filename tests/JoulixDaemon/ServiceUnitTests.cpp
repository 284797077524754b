// The packaged systemd units: each runs its program from where the install puts it, systemd
// accepts it (with the built program in its place) without a complaint, and the system units are
// confined: systemd's own assessment keeps each one's exposure within its bound.
#include "tests/MetricsCollectors/TestSupport.h"
#include "tests/cli/RunJoulix.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

TEST(ServiceUnitTests, EachUnitIsValidConfinedAndRunsTheInstalledProgram) {
    const std::string packaging = JOULIX_FIXTURES "/../../packaging/";
    const std::string script =
        testing::readFile(JOULIX_FIXTURES "/../../scripts/install-service.sh");
    for (const char* installed :
         {"/usr/local/bin/joulix\n", "/etc/systemd/user/joulix-record.service",
          "/etc/systemd/system/joulix-recorder.service",
          "systemctl enable --now joulix-recorder.service"})
        EXPECT_NE(script.find(installed), std::string::npos) << installed;

    const struct {
        std::string unit;
        std::string execStart;  // the line up to the arguments that may follow
        double exposureBound;   // 0: a user unit, not assessed
    } units[] = {
        {"joulix-metricsd.service", "\nExecStart=/usr/local/libexec/joulix/JoulixDaemon\n", 1.6},
        {"joulix-recorder.service", "\nExecStart=/usr/local/bin/joulix record --shared\n", 2.5},
        {"joulix-exporter.service", "\nExecStart=/usr/local/bin/joulix export ", 2.5},
        {"joulix-record.service", "\nExecStart=/usr/local/bin/joulix record\n", 0},
    };
    if (testing::runCommand("command -v systemd-analyze").status != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    const testing::TemporaryDirectory folder;
    for (const auto& u : units) {
        std::string text = testing::readFile(packaging + u.unit);
        ASSERT_NE(text.find(u.execStart), std::string::npos) << u.unit;
        if (u.exposureBound > 0) {
            const auto result = testing::runCommand("systemd-analyze security --offline=true " +
                                                    packaging + u.unit + " 2>&1");
            const std::string marker = "Overall exposure level for " + u.unit + ": ";
            const auto at = result.output.find(marker);
            ASSERT_NE(at, std::string::npos) << result.output;
            EXPECT_LE(std::stod(result.output.substr(at + marker.size())), u.exposureBound)
                << result.output;
        }
        const auto program = text.find("/usr/local/", text.find("\nExecStart="));
        const auto end = text.find_first_of(" \n", program);
        text.replace(program, end - program,
                     text.compare(program, end - program, "/usr/local/bin/joulix") == 0
                         ? testing::joulixPath
                         : std::string(JOULIX_BINARY_DIR "/JoulixDaemon/JoulixDaemon"));
        folder.writeFile(u.unit, text);
        const auto verified = testing::runCommand(
            "XDG_RUNTIME_DIR=" + folder.string() + " systemd-analyze verify " +
            (u.exposureBound > 0 ? "" : "--user ") + folder.string() + "/" + u.unit + " 2>&1");
        EXPECT_EQ(verified.status, 0) << u.unit << ": " << verified.output;
        EXPECT_EQ(verified.output, "") << u.unit;
    }
}

}  // namespace
}  // namespace joulix
