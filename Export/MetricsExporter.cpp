#include "Export/MetricsExporter.h"

#include "SharedModels/RuntimeLog.h"

#include <prometheus/exposer.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace joulix {
namespace {

constexpr std::string_view logComponent = "Exporter";
constexpr double firstPassAfterS = 1;

std::string errnoText(int error) {
    return std::strerror(error);
}

// A socket address of "ADDRESS:PORT" or "[ADDRESS]:PORT", numeric only.
struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};

ListenAddress parseListenAddress(const std::string& text) {
    const auto bad = [&](const std::string& why) {
        return ExporterError("bad listen address \"" + text + "\": " + why);
    };
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) throw bad("expected ADDRESS:PORT");
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
        throw bad("the port must be a number from 0 to 65535");
    const auto portNumber = htons(static_cast<uint16_t>(std::stoi(port)));

    ListenAddress result;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(result.address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = portNumber;
        if (::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6.sin6_addr) != 1)
            throw bad("not an IPv6 address");
        result.length = sizeof v6;
        return result;
    }
    auto& v4 = reinterpret_cast<sockaddr_in&>(result.address);
    v4.sin_family = AF_INET;
    v4.sin_port = portNumber;
    if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) != 1)
        throw bad("not an IPv4 address (IPv6 goes in brackets)");
    result.length = sizeof v4;
    return result;
}

// Binds the address once, as the HTTP server will, so that a port in use or an address this
// machine lacks is reported with the system's own reason.
void checkCanListen(const std::string& text) {
    const ListenAddress parsed = parseListenAddress(text);
    const int fd = ::socket(parsed.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw ExporterError("cannot listen on " + text + ": " + errnoText(errno));
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const int result =
        ::bind(fd, reinterpret_cast<const sockaddr*>(&parsed.address), parsed.length);
    const int error = errno;
    ::close(fd);
    if (result != 0) throw ExporterError("cannot listen on " + text + ": " + errnoText(error));
}

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void writeFileAtomically(const std::string& path, const std::string& text) {
    const std::string side = path + ".tmp";
    const auto failed = [&](const std::string& what) {
        const int error = errno;
        ::unlink(side.c_str());
        return ExporterError("cannot write " + what + ": " + errnoText(error));
    };
    // Whatever stands at the side path (a planted link included) is removed, not written through.
    if (::unlink(side.c_str()) != 0 && errno != ENOENT) throw failed(side);
    const int fd = ::open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        throw ExporterError("cannot write " + side + ": " + errnoText(error));
    }
    bool ok = ::fchmod(fd, 0644) == 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        ok = written > 0;
        if (ok) done += static_cast<std::size_t>(written);
    }
    if (!ok) {
        const int error = errno;
        ::close(fd);
        errno = error;
        throw failed(side);
    }
    if (::close(fd) != 0) throw failed(side);
    if (::rename(side.c_str(), path.c_str()) != 0) throw failed(path);
}

MetricsExporter::MetricsExporter(ExporterOptions options)
    : options_(std::move(options)),
      metrics_(std::make_shared<PrometheusPowerMetrics>(options_.version, options_.top)) {
    if (options_.listen) {
        checkCanListen(*options_.listen);
        try {
            // Scrapes wait at most 10 s for a slow client, on threads of their own.
            exposer_ = std::make_unique<prometheus::Exposer>(
                std::vector<std::string>{"listening_ports", *options_.listen, "num_threads", "4",
                                         "request_timeout_ms", "10000"});
        } catch (const std::exception& error) {
            throw ExporterError("cannot listen on " + *options_.listen + ": " + error.what());
        }
        exposer_->RegisterCollectable(metrics_);
    }
    if (options_.textfile) writeFileAtomically(*options_.textfile, metrics_->text());
}

MetricsExporter::~MetricsExporter() = default;

std::vector<int> MetricsExporter::listeningPorts() const {
    return exposer_ ? exposer_->GetListeningPorts() : std::vector<int>{};
}

void yieldToScrapes() {
    const auto thread = static_cast<id_t>(::gettid());
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, thread);
    if (errno == 0) ::setpriority(PRIO_PROCESS, thread, std::min(nice + 10, 19));
    // The idle class runs the pass (and the tools it starts, which inherit it) only when no
    // scrape wants the CPU; a pass of a few hundred milliseconds every interval still finishes.
    const sched_param idle{};
    ::sched_setscheduler(thread, SCHED_IDLE, &idle);
}

void MetricsExporter::run(std::stop_token stop) {
    yieldToScrapes();
    sampler_.observeBaseline();
    std::mutex waitLock;
    std::condition_variable_any wake;
    double nextPass = monotonicSeconds() + std::min(firstPassAfterS, options_.intervalS);
    while (true) {
        {
            std::unique_lock hold(waitLock);
            const auto deadline = std::chrono::steady_clock::time_point(
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(nextPass)));
            wake.wait_until(hold, stop, deadline, [] { return false; });
        }
        if (stop.stop_requested()) return;
        onePass();
        nextPass += options_.intervalS;
        for (const double now = monotonicSeconds(); nextPass < now;)
            nextPass += options_.intervalS;
    }
}

void MetricsExporter::onePass() {
    if (options_.powerProfiles) {
        std::optional<std::string> profile;
        try {
            profile = options_.powerProfiles->activeProfile();
        } catch (const std::exception&) {
            // No service, or one that does not answer: the profile is left out.
        }
        metrics_->setPowerProfile(profile);
    }
    const double start = monotonicSeconds();
    try {
        const ExportedPass pass = sampler_.pass();
        metrics_->recordPass(pass, monotonicSeconds() - start);
    } catch (const std::exception& error) {
        metrics_->recordFailure(monotonicSeconds() - start);
        RuntimeLog::error(logComponent, "sampling pass failed: " + std::string(error.what()));
    }
    writeTextfile();
}

void MetricsExporter::writeTextfile() {
    if (!options_.textfile) return;
    try {
        writeFileAtomically(*options_.textfile, metrics_->text());
    } catch (const std::exception& error) {
        RuntimeLog::error(logComponent, error.what());
    }
}

}  // namespace joulix
