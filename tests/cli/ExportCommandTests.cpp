// `joulix export` on a fake laptop: inside a private mount namespace a power_supply tree stands
// over /sys/class with a battery discharging at 18 W (61 %). A real Prometheus server scrapes
// the exporter every second; churning processes never widen the application labels; setup
// failures are one line; a link planted beside the textfile is never written through.
#include "FakeMachine.h"
#include "HttpGet.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/stat.h>

namespace joulix {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::eventually;
using testing::readFile;
const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

int promtoolCheck(const std::string& file) {
    return testing::runCommand("/usr/bin/promtool check metrics < '" + file + "' 2>&1").status;
}

// A fake laptop whose battery discharges at 18 W (61 %), with no stand-in tools.
struct FakeLaptop : testing::FakeMachine {
    FakeLaptop() : FakeMachine("") {
        sysFiles("class/power_supply/BAT0/", {{"type", "Battery"},
                                              {"status", "Discharging"},
                                              {"capacity", "61"},
                                              {"charge_now", "3000000"},
                                              {"charge_full", "5000000"},
                                              {"charge_full_design", "5500000"},
                                              {"current_now", "1500000"},
                                              {"voltage_now", "12000000"}});
        sysFile("class/power_supply/AC/type", "Mains");
        sysFile("class/power_supply/AC/online", "0");
        sysFile("bus/usb/devices/usb1/bDeviceClass", "09");
    }
};

// `joulix export --listen 127.0.0.1:0 --interval 1 <arguments>` running on `laptop`, and the port
// it serves on once it says so (0 when it ended first).
struct Exporter {
    Exporter(FakeLaptop& laptop, const std::string& arguments)
        : process(laptop.start("export --listen 127.0.0.1:0 --interval 1 " + arguments)) {
        static const std::regex served(R"(http://127\.0\.0\.1:(\d+)/metrics)");
        eventually(10, [&] {
            return process.output().find("/metrics") != std::string::npos || process.exited();
        });
        std::smatch match;
        const std::string text = process.output();
        if (std::regex_search(text, match, served)) port = std::stoi(match[1]);
    }
    const ChildProcess process;
    int port = 0;
};

std::string urlEncoded(const std::string& text) {
    std::string result;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '_' || c == '.')
            result += static_cast<char>(c);
        else
            result += "%" + std::string(1, "0123456789ABCDEF"[c >> 4]) + "0123456789ABCDEF"[c & 15];
    }
    return result;
}

// The single value of an instant query, or absent.
std::optional<double> query(int port, const std::string& promql) {
    const auto response = testing::httpGet(port, "/api/v1/query?query=" + urlEncoded(promql));
    if (!response || response->status != 200) return std::nullopt;
    const auto json = nlohmann::json::parse(response->body, nullptr, false);
    if (!json.is_object() || json["data"]["result"].size() != 1) return std::nullopt;
    return std::stod(json["data"]["result"][0]["value"][1].get<std::string>());
}

TEST(ExportCommand, ScrapedByARealPrometheus) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    if (::access("/usr/bin/prometheus", X_OK) != 0) GTEST_SKIP() << "prometheus is not installed";
    FakeLaptop laptop;
    const std::string textfile = laptop.folder.string() + "/joulix.prom";
    const Exporter exporter(laptop, "--textfile " + textfile);
    ASSERT_NE(exporter.port, 0) << exporter.process.output();

    const int prometheusPort = testing::freeLocalPort();
    laptop.folder.writeFile("prometheus.yml", "global:\n  scrape_interval: 1s\n"
                                              "scrape_configs:\n  - job_name: joulix\n"
                                              "    static_configs:\n      - targets: ['127.0.0.1:" +
                                                  std::to_string(exporter.port) + "']\n");
    const std::string at = laptop.folder.string();
    const ChildProcess prometheus(
        {"/usr/bin/prometheus", "--config.file=" + at + "/prometheus.yml",
         "--storage.tsdb.path=" + at + "/tsdb",
         "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
        false, at + "/prometheus.txt");
    // Scrapes over more than the rate's 10 s window: a window that is not yet full of samples
    // is extrapolated only half an interval beyond its first one, and so reads low.
    const bool scraped = eventually(
        25,
        [&] {
            const auto samples =
                query(prometheusPort, "count_over_time(joulix_energy_joules_total[15s])");
            return samples && *samples >= 12;
        },
        0.1);
    const auto watts = query(prometheusPort, "joulix_power_watts{source=\"battery\"}");
    const auto level = query(prometheusPort, "joulix_battery_level_ratio");
    // The counter grows in steps, one a pass, so one reading of the rate over 10 s may hold a
    // step more or less than another: the mean of five readings a second apart evens them out.
    std::optional<double> rate = 0.0;
    for (int reading = 0; reading < 5 && rate; ++reading) {
        if (reading > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
        const auto one = query(prometheusPort, "rate(joulix_energy_joules_total[10s])");
        rate = one ? std::optional(*rate + *one / 5) : std::nullopt;
    }
    EXPECT_EQ(prometheus.stop(), 0);
    ASSERT_TRUE(scraped) << prometheus.output() << exporter.process.output();
    EXPECT_EQ(watts, 18.0);
    EXPECT_EQ(level, 0.61);
    ASSERT_TRUE(rate);
    EXPECT_NEAR(*rate, 18.0, 1.8);

    const auto body = testing::httpGet(exporter.port, "/metrics");
    ASSERT_TRUE(body);
    laptop.folder.writeFile("body.prom", body->body);
    EXPECT_EQ(promtoolCheck(at + "/body.prom"), 0) << body->body;
    EXPECT_EQ(promtoolCheck(textfile), 0) << readFile(textfile);
    EXPECT_NE(readFile(textfile).find("joulix_battery_level_ratio 0.61"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat(textfile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);

    const auto stopAsked = std::chrono::steady_clock::now();
    EXPECT_EQ(exporter.process.stop(), 0) << exporter.process.output();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, std::chrono::seconds(1));
}

// 200 short-lived processes, each with its own executable name, during a run with --top 3.
// (Names that keep entering and leaving the top are driven through the ledger's own test.)
TEST(ExportCommand, ChurningProcessNamesNeverWidenTheApplicationLabels) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    FakeLaptop laptop;
    const Exporter exporter(laptop, "--top 3");
    ASSERT_NE(exporter.port, 0) << exporter.process.output();
    const fs::path bin = laptop.folder.path() / "bin";
    fs::create_directories(bin);
    fs::copy_file("/bin/sh", bin / "sh");
    std::vector<pid_t> children;
    std::size_t mostSeries = 0;
    double otherJ = 0;
    const auto scrape = [&] {
        const auto body = testing::httpGet(exporter.port, "/metrics");
        if (!body) return;
        std::size_t series = 0;
        for (std::size_t at = 0;
             (at = body->body.find("\njoulix_app_energy_joules_total{", at)) != std::string::npos;
             ++at)
            ++series;
        mostSeries = std::max(mostSeries, series);
        const std::string marker = "joulix_app_energy_joules_total{app=\"other\"} ";
        const auto other = body->body.find(marker);
        if (other != std::string::npos)
            otherJ = std::stod(body->body.substr(other + marker.size()));
    };
    // Five waves of 40; a wave lives until the next one starts, blocked on its open stdin.
    for (int wave = 0; wave < 5; ++wave) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        for (int i = 0; i < 40; ++i) {
            const fs::path name = bin / ("churn-" + std::to_string(wave * 40 + i));
            fs::create_hard_link(bin / "sh", name);
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::dup2(pipeFds[0], 0);
                ::close(pipeFds[1]);
                ::execl(name.c_str(), name.c_str(), "-c",
                        "i=0; while [ $i -lt 3000 ]; do i=$((i+1)); done; read x", nullptr);
                ::_exit(127);
            }
            children.push_back(pid);
        }
        ::close(pipeFds[0]);
        for (int i = 0; i < 10; ++i) {
            scrape();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ::close(pipeFds[1]);
    }
    for (const pid_t pid : children)
        ::waitpid(pid, nullptr, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    scrape();
    EXPECT_GE(mostSeries, 1u);
    EXPECT_LE(mostSeries, 4u);
    EXPECT_GT(otherJ, 0);
}

// Scrapers that connect and never send a request hold every server thread; the passes go on
// and the textfile keeps being replaced.
TEST(ExportCommand, HungScrapersNeverDelayThePasses) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    FakeLaptop laptop;
    const std::string textfile = laptop.folder.string() + "/joulix.prom";
    const Exporter exporter(laptop, "--textfile " + textfile);
    ASSERT_NE(exporter.port, 0) << exporter.process.output();
    std::vector<int> hung;
    for (int i = 0; i < 8; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = testing::loopback(exporter.port);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::send(fd, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);  // and never the rest
        hung.push_back(fd);
    }
    const auto passes = [&] {
        const std::string text = readFile(textfile);
        const auto at = text.find("joulix_pass_duration_seconds_count ");
        return at == std::string::npos ? 0.0 : std::stod(text.substr(at + 35));
    };
    // Passes run in the idle scheduling class, so a busy machine may slow them down; hung
    // scrapers holding the server would stop them altogether.
    const double before = passes();
    EXPECT_TRUE(eventually(
        20, [&] { return passes() - before >= 3; }, 0.1))
        << passes() - before << " passes";
    for (const int fd : hung)
        ::close(fd);
}

TEST(ExportCommand, SetupFailuresAreOneLineAndExitStatusOne) {
    const testing::TemporaryDirectory folder;
    const int busy = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = testing::loopback(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    ::getsockname(busy, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string busyAddress = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    fs::create_directories(folder.path() / "locked");
    fs::permissions(folder.path(), fs::perms::owner_all | fs::perms::others_exec);

    std::vector<std::pair<std::string, std::string>> cases = {
        {"--listen " + busyAddress, "cannot listen on " + busyAddress + ": Address already in use"},
        {"--listen localhost", "bad listen address \"localhost\": expected ADDRESS:PORT"},
        {"--listen 256.1.1.1:80", "bad listen address \"256.1.1.1:80\": not an IPv4 address"},
        {"--listen 127.0.0.1:65536", "the port must be a number from 0 to 65535"},
        {"--textfile " + folder.string() + "/missing/joulix.prom",
         "cannot write " + folder.string() + "/missing/joulix.prom.tmp: No such file"},
    };
    // As a second user where the test may act as one: a folder of root's is closed to them.
    const std::string user = ::geteuid() == 0 ? asNobody : "";
    if (!user.empty())
        cases.push_back({"--textfile " + folder.string() + "/locked/joulix.prom",
                         "locked/joulix.prom.tmp: Permission denied"});
    for (const auto& [arguments, message] : cases) {
        const auto run =
            testing::runCommand(user + testing::joulixPath + " export " + arguments + " 2>&1");
        EXPECT_EQ(run.status, 1) << arguments;
        EXPECT_NE(run.output.find("joulix export: "), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    }
    ::close(busy);
}

// Another user plants links where the exporter (root) writes: at the side file and at the
// textfile itself, in a folder anyone may write. The files they point at stay as they were.
TEST(ExportCommand, PlantedLinksAreReplacedNotWrittenThrough) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    const testing::TemporaryDirectory folder;
    folder.writeFile("victim-a", "precious a\n");
    folder.writeFile("victim-b", "precious b\n");
    const fs::path shared = folder.path() / "shared";
    fs::create_directories(shared);
    fs::permissions(folder.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    for (const auto& [victim, link] :
         {std::pair{"victim-a", "joulix.prom.tmp"}, std::pair{"victim-b", "joulix.prom"}}) {
        ASSERT_EQ(testing::runCommand(asNobody + "ln -s " + folder.string() + "/" + victim + " " +
                                      (shared / link).string())
                      .status,
                  0);
    }

    const ChildProcess exporter({testing::joulixPath, "export", "--listen", "127.0.0.1:0",
                                 "--textfile", shared.string() + "/joulix.prom"},
                                false, folder.string() + "/export.txt");
    const bool written = exporter.waitForOutput("writing", 10);
    EXPECT_EQ(exporter.stop(), 0);
    ASSERT_TRUE(written) << exporter.output();
    EXPECT_EQ(readFile(folder.path() / "victim-a"), "precious a\n");
    EXPECT_EQ(readFile(folder.path() / "victim-b"), "precious b\n");
    EXPECT_FALSE(fs::is_symlink(shared / "joulix.prom"));
    EXPECT_NE(readFile(shared / "joulix.prom").find("joulix_build_info"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::symlink_status(shared / "joulix.prom.tmp")));
}

}  // namespace
}  // namespace joulix
