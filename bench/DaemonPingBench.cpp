// Ping round trip through the daemon (its transport, per-client worker and handler) beside
// org.freedesktop.DBus.Peer.Ping to the same daemon over the same private bus, which the bus
// library answers on its own: the transport's floor. Target: the ratio is at most 1.5.
#include "JoulixDaemon/BatteryMetricsClient.h"
#include "JoulixDaemon/BatteryMetricsService.h"
#include "JoulixDaemon/DBusListener.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* busName = "com.joulix.bench.metricsd";

// A dbus-daemon of our own, open to everyone, stopped at exit.
class PrivateBus {
  public:
    PrivateBus() {
        char pattern[] = "/tmp/jlx-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        directory_ = pattern;
        const auto config = directory_ + "/bus.conf";
        std::ofstream(config)
            << "<busconfig><listen>unix:path=" << directory_
            << "/socket</listen><auth>EXTERNAL</auth><policy "
               "context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow "
               "send_destination=\"*\"/><allow eavesdrop=\"true\"/></policy></busconfig>\n";
        const auto configArgument = "--config-file=" + config;
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 3);
            ::execlp("dbus-daemon", "dbus-daemon", configArgument.c_str(), "--nofork",
                     "--print-address=3", nullptr);
            ::_exit(127);
        }
        ::close(fds[1]);
        char buffer[512];
        ssize_t n;
        while (address_.find('\n') == std::string::npos &&
               (n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            address_.append(buffer, static_cast<size_t>(n));
        }
        ::close(fds[0]);
        if (address_.find('\n') == std::string::npos) throw std::runtime_error("no dbus-daemon");
        address_.resize(address_.find('\n'));
    }
    ~PrivateBus() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        std::remove((directory_ + "/bus.conf").c_str());
        ::rmdir(directory_.c_str());
    }
    const std::string& address() const { return address_; }

  private:
    std::string directory_;
    std::string address_;
    pid_t pid_ = -1;
};

struct Daemon {
    PrivateBus bus;
    joulix::BatteryMetricsService service;
    joulix::DBusListener listener{joulix::BusSelection::at(bus.address()), busName};
    Daemon() {
        listener.setDelegate(service);
        listener.resume();
    }
};

std::unique_ptr<Daemon> running;
Daemon& daemon() {
    return *running;
}

// Each iteration makes one call of each kind, in turn, so that both see the same machine load.
struct Totals {
    double serviceSeconds = 0;
    double peerSeconds = 0;
    double iterations = 0;
} totals;

void BM_PingBesidePeerPing(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    joulix::BatteryMetricsClient client(joulix::BusSelection::at(daemon().bus.address()), busName);
    double service = 0, peer = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(client.ping());
        const auto middle = Clock::now();
        client.peerPing();
        const auto end = Clock::now();
        service += std::chrono::duration<double>(middle - start).count();
        peer += std::chrono::duration<double>(end - middle).count();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["service_us"] = service / n * 1e6;
    state.counters["peer_us"] = peer / n * 1e6;
    state.counters["ratio"] = service / peer;
    totals = {service, peer, n};
}
BENCHMARK(BM_PingBesidePeerPing)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    try {
        running = std::make_unique<Daemon>();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cannot start the daemon on a private bus: %s\n", error.what());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    if (totals.iterations > 0) {
        std::printf("Ping through the daemon: %.1f us, Peer.Ping: %.1f us, ratio %.2f (target <= "
                    "1.5)\n",
                    totals.serviceSeconds / totals.iterations * 1e6,
                    totals.peerSeconds / totals.iterations * 1e6,
                    totals.serviceSeconds / totals.peerSeconds);
    }
    benchmark::Shutdown();
    running.reset();
    return 0;
}
