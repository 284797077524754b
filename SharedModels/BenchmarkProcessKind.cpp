#include "SharedModels/BenchmarkProcessKind.h"

#include "SharedModels/Text.h"

#include <errno.h>

#include <fstream>

namespace joulix {

std::string_view rawValue(BenchmarkProcessKind kind) {
    return kind == BenchmarkProcessKind::app ? "app" : "daemon";
}

std::optional<BenchmarkProcessKind> benchmarkProcessKindFromRawValue(std::string_view raw) {
    if (raw == "app") return BenchmarkProcessKind::app;
    if (raw == "daemon") return BenchmarkProcessKind::daemon;
    return std::nullopt;
}

std::string_view displayName(BenchmarkProcessKind kind) {
    return kind == BenchmarkProcessKind::app ? "App" : "Daemon";
}

std::string_view componentProfilePath(BenchmarkProcessKind kind) {
    return kind == BenchmarkProcessKind::app ? "/tmp/jlx-component-profile-app.jsonl"
                                             : "/tmp/jlx-component-profile-daemon.jsonl";
}

BenchmarkProcessKind benchmarkProcessKindForProcessName(std::string_view processName) {
    return text::lowercased(processName).find("daemon") != std::string::npos
               ? BenchmarkProcessKind::daemon
               : BenchmarkProcessKind::app;
}

BenchmarkProcessKind currentBenchmarkProcessKind() {
    return benchmarkProcessKindForProcessName(runningProcessName());
}

std::string runningProcessName() {
    // The full base name of argv[0]; /proc/self/comm (cut to 15 bytes) when that is empty.
    std::string name = program_invocation_short_name;
    if (name.empty()) {
        std::ifstream comm("/proc/self/comm");
        std::getline(comm, name);
    }
    return name;
}

}  // namespace joulix
