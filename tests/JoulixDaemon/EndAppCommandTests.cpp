// joulix end-app against an application of the test's own: two copies of sleep inside a bundle.
#include "PrivateBus.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace joulix {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string lowercasedASCII(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// An application bundle with a main executable and a helper, both running.
struct FakeApplication {
    FakeApplication() {
        char pattern[] = "/tmp/jlx-endapp-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw Error("mkdtemp failed");
        directory = pattern;
        bundle = directory + "/" + name + ".app";
        mainPath = bundle + "/Contents/MacOS/" + name;
        helperPath = bundle + "/Contents/Helpers/" + name + "Helper";
        for (const auto& path : {mainPath, helperPath}) {
            fs::create_directories(fs::path(path).parent_path());
            fs::copy_file("/bin/sleep", path);
        }
        main = std::make_unique<testing::ChildProcess>(std::vector<std::string>{mainPath, "300"});
        helper =
            std::make_unique<testing::ChildProcess>(std::vector<std::string>{helperPath, "300"});
        // Wait for both to have replaced the forked test image with the copies.
        for (int i = 0; i < 200 && !(runs(*main, mainPath) && runs(*helper, helperPath)); ++i)
            std::this_thread::sleep_for(10ms);
    }
    ~FakeApplication() {
        main.reset();
        helper.reset();
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }
    static bool runs(const testing::ChildProcess& child, const std::string& path) {
        std::error_code error;
        return fs::read_symlink("/proc/" + std::to_string(child.pid()) + "/exe", error) == path;
    }

    std::string name = "JlxEndApp" + std::to_string(::getpid());
    std::string directory, bundle, mainPath, helperPath;
    std::unique_ptr<testing::ChildProcess> main, helper;
};

TEST(EndAppCommand, EndsTheMainExecutableFirstThenItsHelpers) {
    testing::PrivateBus bus;
    testing::RunningDaemon daemon(bus);
    ASSERT_TRUE(daemon.serving) << "the daemon did not come up";
    FakeApplication app;
    ASSERT_TRUE(FakeApplication::runs(*app.main, app.mainPath));
    const auto endApp = [&](const std::string& arguments) {
        return testing::runJoulix("end-app " + arguments + " --address='" + bus.address + "'");
    };
    const auto order = app.name + ": " + std::to_string(app.main->pid()) + " " +
                       std::to_string(app.helper->pid()) + "\n";

    // The application's row: both processes, keyed by the bundle.
    const auto table = testing::runJoulix("processes --apps");
    auto line = table.output.substr(table.output.find(app.name + " "));
    line = line.substr(0, line.find('\n'));
    EXPECT_NE(line.find("app:" + lowercasedASCII(app.bundle)), std::string::npos) << line;
    EXPECT_NE(line.find(" 2 "), std::string::npos) << line;

    const auto dryRun = endApp(lowercasedASCII(app.name) + " --dry-run");
    EXPECT_EQ(dryRun.status, 0);
    EXPECT_EQ(dryRun.output, order);
    EXPECT_FALSE(app.main->exited());

    EXPECT_EQ(endApp("NoSuchApplication" + app.name).status, 3);
    const auto unreachable = testing::runJoulix(
        "end-app " + app.name + " --address=unix:path=" + app.directory + "/no-bus 2>/dev/null");
    EXPECT_EQ(unreachable.status, 2);
    EXPECT_EQ(unreachable.output, order);

    const auto ended = endApp(app.name);
    EXPECT_EQ(ended.status, 0) << ended.output;
    EXPECT_EQ(ended.output, order + std::to_string(app.main->pid()) + ": ended\n" +
                                std::to_string(app.helper->pid()) + ": ended\n");
    for (int i = 0; i < 200 && !(app.main->exited() && app.helper->exited()); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(app.main->exited());
    EXPECT_TRUE(app.helper->exited());
}

}  // namespace
}  // namespace joulix
