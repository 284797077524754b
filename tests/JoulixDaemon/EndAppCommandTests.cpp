// joulix end-app against applications of the test's own: copies of sleep inside bundles, and a
// stray copy of the same name outside.
#include "PrivateBus.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace joulix {
namespace {

namespace fs = std::filesystem;

std::string lowercasedASCII(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A copy of sleep at `path`, running once the child has replaced the forked test image with it.
std::unique_ptr<testing::ChildProcess> runCopyOfSleep(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    fs::copy_file("/bin/sleep", path);
    auto child = std::make_unique<testing::ChildProcess>(std::vector<std::string>{path, "300"});
    const auto exe = "/proc/" + std::to_string(child->pid()) + "/exe";
    testing::eventually(2, [&] {
        std::error_code error;
        return fs::read_symlink(exe, error) == path;
    });
    return child;
}

// An application bundle with a main executable and a helper, both running.
struct FakeApplication {
    explicit FakeApplication(std::string applicationName = "JlxEndApp" + std::to_string(::getpid()))
        : name(std::move(applicationName)), bundle(folder.string() + "/" + name + ".app"),
          mainPath(bundle + "/Contents/MacOS/" + name),
          helperPath(bundle + "/Contents/Helpers/" + name + "Helper"),
          main(runCopyOfSleep(mainPath)), helper(runCopyOfSleep(helperPath)) {}

    testing::TemporaryDirectory folder;
    std::string name, bundle, mainPath, helperPath;
    std::unique_ptr<testing::ChildProcess> main, helper;
};

TEST(EndAppCommand, EndsTheMainExecutableFirstThenItsHelpers) {
    testing::PrivateBus bus;
    testing::RunningDaemon daemon(bus);
    ASSERT_TRUE(daemon.serving) << "the daemon did not come up";
    FakeApplication app;
    // A stray executable of the same name outside the bundle joins the row but is not ended.
    const auto strayPath = app.folder.string() + "/stray/" + app.name;
    const auto stray = runCopyOfSleep(strayPath);
    const auto endApp = [&](const std::string& arguments) {
        return testing::runJoulix("end-app " + arguments + " --address='" + bus.address + "'");
    };
    const auto main = std::to_string(app.main->pid()), helper = std::to_string(app.helper->pid());
    const auto order = app.name + ": " + main + " " + helper +
                       "\nnot ended: not part of the application: " + std::to_string(stray->pid()) +
                       " " + strayPath + "\n";

    // The application's row: both processes, keyed by the bundle.
    const auto table = testing::runJoulix("processes --apps");
    auto line = table.output.substr(table.output.find(app.name + " "));
    line = line.substr(0, line.find('\n'));
    EXPECT_NE(line.find("app:" + lowercasedASCII(app.bundle)), std::string::npos) << line;
    EXPECT_NE(line.find(" 3 "), std::string::npos) << line;

    const auto dryRun = endApp(lowercasedASCII(app.name) + " --dry-run");
    EXPECT_EQ(dryRun.status, 0);
    EXPECT_EQ(dryRun.output, order);
    EXPECT_FALSE(app.main->exited());

    EXPECT_EQ(endApp("NoSuchApplication" + app.name).status, 3);
    testing::PrivateBus emptyBus;  // a bus without the daemon
    const auto unreachable = testing::runJoulix("end-app " + app.name + " --address='" +
                                                emptyBus.address + "' 2>/dev/null");
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_EQ(unreachable.output, order + "ending " + main + " " + app.mainPath + "\n");

    const auto ended = endApp(app.name);
    EXPECT_EQ(ended.status, 0) << ended.output;
    EXPECT_EQ(ended.output, order + "ending " + main + " " + app.mainPath + "\n" + main +
                                ": ended\nending " + helper + " " + app.helperPath + "\n" + helper +
                                ": ended\n");
    EXPECT_TRUE(app.main->exitsWithin(2));
    EXPECT_TRUE(app.helper->exitsWithin(2));
    EXPECT_FALSE(stray->exited());
}

TEST(EndAppCommand, NamesDifferingOnlyInCaseNeedTheExactOne) {
    const auto name = "JlxCase" + std::to_string(::getpid());
    FakeApplication upper(name), lower(lowercasedASCII(name));

    const auto ambiguous =
        testing::runJoulix("end-app JLXCASE" + std::to_string(::getpid()) + " --dry-run 2>&1");
    EXPECT_EQ(ambiguous.status, 3);
    for (const auto* app : {&upper, &lower}) {
        EXPECT_NE(ambiguous.output.find("\n  " + app->name + " (" + app->bundle + ")\n"),
                  std::string::npos)
            << ambiguous.output;
    }

    const auto exact = testing::runJoulix("end-app " + lower.name + " --dry-run");
    EXPECT_EQ(exact.status, 0);
    const auto notPart = [](const testing::ChildProcess& child, const std::string& path) {
        return "not ended: not part of the application: " + std::to_string(child.pid()) + " " +
               path + "\n";
    };
    EXPECT_EQ(exact.output, lower.name + ": " + std::to_string(lower.main->pid()) + " " +
                                std::to_string(lower.helper->pid()) + "\n" +
                                notPart(*upper.main, upper.mainPath) +
                                notPart(*upper.helper, upper.helperPath));
}

}  // namespace
}  // namespace joulix
