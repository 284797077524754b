// Writes the benchmarks' history fixture to a file, for the README's report screenshots and for
// trying the commands on a known history:
//   history_fixture_writer PATH [DAYS] [INTERVAL_S] [PROCESSES]
// The history ends now; an existing file at PATH is replaced.
#include "bench/HistoryFixture.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

double numberArgument(const char* text, const char* what) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0)) {
        std::fprintf(stderr, "history_fixture_writer: %s must be a positive number, not \"%s\"\n",
                     what, text);
        std::exit(2);
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 5) {
        std::fprintf(stderr, "usage: history_fixture_writer PATH [DAYS] [INTERVAL_S] [PROCESSES]\n"
                             "example: history_fixture_writer /tmp/day.sqlite 1 60 12\n");
        return 2;
    }
    joulix::bench::HistoryFixtureShape shape;
    if (argc > 2) shape.days = numberArgument(argv[2], "DAYS");
    if (argc > 3) shape.intervalS = numberArgument(argv[3], "INTERVAL_S");
    if (argc > 4) shape.processCount = static_cast<int>(numberArgument(argv[4], "PROCESSES"));
    try {
        joulix::bench::writeHistoryFixture(argv[1], shape);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "history_fixture_writer: cannot write %s: %s\n", argv[1],
                     error.what());
        return 1;
    }
    std::printf("%s: %lld snapshots of %d processes, %g s apart\n", argv[1],
                static_cast<long long>(shape.snapshotCount()), shape.processCount, shape.intervalS);
    return 0;
}
