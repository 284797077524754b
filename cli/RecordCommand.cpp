// joulix record [--db PATH | --shared] [--interval S] [--duration D] [--retention D]: keeps a
// history of where the power went. Each pass samples the machine, attributes the power with the
// reference model, names the processes after the recent snapshots, applies the publication rule
// and stores the snapshot (near duplicates are replaced or dropped by the store). Snapshots older
// than the retention are purged at start and then hourly. A terminal shows one live status line,
// anything else gets one line per pass. SIGINT or SIGTERM ends the run after the current pass
// with a summary. A failing pass or a busy database is reported and recording goes on, unless the
// same failure has repeated for a minute; a database that cannot be opened or written, such a
// repeated failure, or a run that stored nothing because every store failed, ends with status 1.
#include "Attribution/ReferenceAttribution.h"
#include "MetricsCollectors/LiveAttributionInputBuilder.h"
#include "SharedModels/ProcessAttributionPresentationService.h"
#include "SharedModels/SamplingConfig.h"
#include "SharedModels/SnapshotPublicationPolicy.h"
#include "SharedModels/Text.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "cli/Commands.h"
#include "cli/DurationText.h"
#include "cli/HistoryDatabase.h"
#include "cli/OptionChecks.h"
#include "cli/Table.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace joulix::cli {
namespace {

constexpr double purgeEverySeconds = 3600;
constexpr std::size_t recentSnapshotCount = 20;
constexpr double maxEnergyGapSeconds = 60;
constexpr double minIntervalS = 1;
constexpr double maxIntervalS = 24 * 3600;
constexpr double minDurationS = 1;
constexpr double giveUpAfterS = 60;

struct RecordOptions {
    std::string database;
    bool shared = false;
    double intervalS = static_cast<double>(SamplingConfig{}.backgroundIntervalSec);
    std::string duration;
    std::string retention = "7d";
};

// SIGINT and SIGTERM write a byte here, which wakes the wait between passes.
int stopPipe[2] = {-1, -1};

void requestStop(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
    errno = saved;
}

void installStopHandlers() {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

// Waits up to `seconds` for a stop request; true when one came.
bool waitForStop(double seconds) {
    pollfd entry{stopPipe[0], POLLIN, 0};
    const int timeoutMs = static_cast<int>(std::max(0.0, seconds) * 1000);
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The application drawing the most, by the annotated canonical names.
std::optional<std::pair<std::string, double>> topApplication(const DrainSnapshot& snapshot) {
    std::map<std::string, double> wattsByName;
    for (const ProcessDrain& process : snapshot.processes)
        wattsByName[process.canonicalName.value_or(process.name)] += process.drainW;
    const auto top =
        std::max_element(wattsByName.begin(), wattsByName.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    if (top == wattsByName.end()) return std::nullopt;
    return *top;
}

// The CLI11 check of --duration and --retention: empty for an accepted value, else the range.
std::string durationFromOneSecondCheck(const std::string& text) {
    const std::optional<double> seconds = parseSecondsOrDuration(text);
    if (seconds && *seconds >= minDurationS) return {};
    return "takes a duration of 1 s or more (seconds, or a number with s, m, h or d), not " + text;
}

struct RecordTotals {
    int64_t passes = 0;
    int64_t stored = 0;
    int64_t replaced = 0;
    int64_t dropped = 0;
    int64_t skipped = 0;
    int64_t failed = 0;
    double recordedWh = 0;
};

class Recorder {
  public:
    Recorder(SQLiteSnapshotStore& store, double retentionS)
        : store_(store), retentionS_(retentionS), terminal_(::isatty(STDOUT_FILENO) == 1),
          builder_(LiveAttributionInputBuilder::withPlatformSources(shell_)) {
        // The first pass's CPU shares and package power are measured from here.
        builder_.observeBaseline();
        try {
            const auto latest = store_.fetchLatest(recentSnapshotCount);
            recent_.assign(latest.rbegin(), latest.rend());
        } catch (const std::exception& error) {
            report("could not read the recent snapshots: " + std::string(error.what()));
        }
    }

    void purgeIfDue(double nowMonotonic) {
        if (lastPurge_ && nowMonotonic - *lastPurge_ < purgeEverySeconds) return;
        lastPurge_ = nowMonotonic;
        try {
            const auto cutoff = Date{Date::now().timeIntervalSinceReferenceDate - retentionS_};
            const int64_t purged = store_.purgeSnapshots(cutoff);
            if (purged > 0)
                line("purged " + std::to_string(purged) + " snapshots older than " +
                     localTime(cutoff));
        } catch (const std::exception& error) {
            report("purge failed on " + store_.path() + ": " + error.what());
        }
    }

    // The first line: where the snapshots go, how often, and what this machine lets a pass
    // measure (and why not, where it cannot).
    void announce(double intervalS) {
        const auto plan = builder_.measurementPlan();
        std::string measures;
        if (!plan.batterySource.empty()) {
            measures = "battery discharge (" + plan.batterySource + ") on battery; ";
        } else {
            measures = "no battery; ";
        }
        if (!plan.packageSource.empty()) {
            measures += plan.packageSource + " package power plus display and USB estimates" +
                        (plan.batterySource.empty() ? "" : " on external power");
        } else {
            measures += "estimate only (display and USB)" +
                        std::string(plan.batterySource.empty() ? "" : " on external power") +
                        ": package power: " + plan.packageReason;
        }
        line("Recording into " + store_.path() + " every " + text::formatted("%g", intervalS) +
             " s: " + measures);
    }

    // False once the same failure has repeated for a minute: recording would fail forever.
    bool pass() {
        ++totals_.passes;
        DrainSnapshot snapshot;
        std::string noMeasurementReason;
        try {
            const AttributionBuildResult result = builder_.buildWithMetadata({}, false);
            noMeasurementReason = result.metadata.noMeasurementReason;
            snapshot = ProcessAttributionPresentationService::annotateSnapshot(
                ReferenceAttribution::attribute(result.input, result.metadata.sourceTelemetry(),
                                                result.batteryStatus),
                recent_);
        } catch (const std::exception& error) {
            return failed("sampling pass failed: " + std::string(error.what()), false);
        }
        const SnapshotPublicationDecision decision = SnapshotPublicationPolicy::decision(snapshot);
        if (!isPublishable(decision)) {
            ++totals_.skipped;
            // A machine with nothing to measure says so once rather than at every pass.
            if (!noMeasurementReason.empty()) {
                if (!saidNoMeasurement_) {
                    line("no power measurement on this machine: " + noMeasurementReason);
                }
                saidNoMeasurement_ = true;
                return true;
            }
            line(localTime(snapshot.timestamp) +
                 "  skipped: " + std::string(rejectionReason(decision).value_or("")));
            return true;
        }
        std::string outcomeText;
        try {
            switch (store_.insert(snapshot)) {
            case SnapshotInsertOutcome::inserted:
                ++totals_.stored;
                outcomeText = "stored";
                break;
            case SnapshotInsertOutcome::replacedNearDuplicate:
                ++totals_.stored;
                ++totals_.replaced;
                outcomeText = "replaced a near duplicate";
                break;
            case SnapshotInsertOutcome::droppedNearDuplicate:
                ++totals_.dropped;
                line(localTime(snapshot.timestamp) + "  dropped as a near duplicate");
                failureStreak_.reset();
                return true;
            }
        } catch (const std::exception& error) {
            return failed("snapshot not stored in " + store_.path() + ": " + error.what(), true);
        }
        failureStreak_.reset();
        addEnergy(snapshot);
        recent_.push_back(snapshot);
        if (recent_.size() > recentSnapshotCount) recent_.erase(recent_.begin());
        status(snapshot, outcomeText);
        return true;
    }

    // The summary; exit status 1 when recording gave up, or when nothing could be stored and
    // storing is what failed.
    void finish() {
        if (terminal_ && statusShown_) std::cout << "\n";
        std::cout << "Recorded " << totals_.passes << " passes into " << store_.path() << ": "
                  << totals_.stored << " stored (" << totals_.replaced
                  << " replacing a near duplicate), " << totals_.dropped
                  << " dropped as near duplicates, " << totals_.skipped
                  << " skipped by the publication rule, " << totals_.failed << " failed; "
                  << text::formatted("%.4f", totals_.recordedWh) << " Wh recorded" << std::endl;
        if (gaveUp_) {
            std::cerr << "joulix record: stopped: the same failure for a minute: "
                      << failureStreak_->message << std::endl;
            exitStatus() = 1;
        } else if (totals_.stored == 0 && storeFailed_) {
            std::cerr << "joulix record: nothing could be stored: " << *lastFailure_ << std::endl;
            exitStatus() = 1;
        }
    }

  private:
    struct FailureStreak {
        std::string message;
        double sinceMonotonic = 0;
    };

    // Reports a failed pass; false when the same failure has now lasted a minute.
    bool failed(const std::string& message, bool storing) {
        ++totals_.failed;
        report(message);
        lastFailure_ = message;
        storeFailed_ = storeFailed_ || storing;
        const double now = monotonicSeconds();
        if (!failureStreak_ || failureStreak_->message != message) {
            failureStreak_ = FailureStreak{message, now};
            return true;
        }
        gaveUp_ = now - failureStreak_->sinceMonotonic >= giveUpAfterS;
        return !gaveUp_;
    }

    void addEnergy(const DrainSnapshot& snapshot) {
        if (lastStored_) {
            const double gapS = std::min(maxEnergyGapSeconds,
                                         snapshot.timestamp.timeIntervalSinceReferenceDate -
                                             lastStored_->timestamp.timeIntervalSinceReferenceDate);
            const double meanW = (snapshot.totalDischargeW + lastStored_->totalDischargeW) / 2;
            if (gapS > 0 && meanW > 0) totals_.recordedWh += meanW * gapS / 3600;
        }
        lastStored_ = snapshot;
    }

    void status(const DrainSnapshot& snapshot, const std::string& outcome) {
        std::string text = localTime(snapshot.timestamp) + "  " +
                           text::formatted("%.2f W", snapshot.totalDischargeW) +
                           (snapshot.totalIsEstimateOnly() ? " (estimate)" : "");
        if (snapshot.batteryStatus && snapshot.batteryStatus->levelPercent)
            text +=
                "  battery " + text::formatted("%.0f %%", *snapshot.batteryStatus->levelPercent);
        if (const auto top = topApplication(snapshot))
            text += "  top " + printable(top->first) + " " + text::formatted("%.2f W", top->second);
        if (terminal_) {
            std::cout << "\r\033[K" << text << "  snapshots " << totals_.stored << std::flush;
            statusShown_ = true;
        } else {
            std::cout << text << "  " << outcome << std::endl;
        }
    }

    void line(const std::string& text) {
        if (terminal_ && statusShown_) std::cout << "\r\033[K";
        std::cout << text << std::endl;
        statusShown_ = false;
    }

    void report(const std::string& text) {
        if (terminal_ && statusShown_) std::cout << "\r\033[K" << std::flush;
        statusShown_ = false;
        std::cerr << "joulix record: " << text << std::endl;
    }

    SQLiteSnapshotStore& store_;
    double retentionS_;
    bool terminal_;
    bool statusShown_ = false;
    bool saidNoMeasurement_ = false;
    std::shared_ptr<DefaultShellRunner> shell_ = std::make_shared<DefaultShellRunner>();
    LiveAttributionInputBuilder builder_;
    std::vector<DrainSnapshot> recent_;
    std::optional<DrainSnapshot> lastStored_;
    std::optional<double> lastPurge_;
    RecordTotals totals_;
    std::optional<FailureStreak> failureStreak_;
    std::optional<std::string> lastFailure_;
    bool storeFailed_ = false;
    bool gaveUp_ = false;
};

void runRecord(const RecordOptions& options) {
    installStopHandlers();
    const std::optional<double> durationS =
        options.duration.empty() ? std::nullopt : parseSecondsOrDuration(options.duration);
    std::string path;
    std::unique_ptr<SQLiteSnapshotStore> store;
    try {
        path = historyDatabasePath(options.database, options.shared);
        store =
            std::make_unique<SQLiteSnapshotStore>(path, SQLiteSnapshotStore::Mode::readWriteCreate);
    } catch (const std::exception& error) {
        std::cerr << "joulix record: cannot use the database " << (path.empty() ? "" : path + ": ")
                  << error.what() << std::endl;
        exitStatus() = 1;
        return;
    }

    Recorder recorder(*store, *parseSecondsOrDuration(options.retention));
    recorder.announce(options.intervalS);
    const double start = monotonicSeconds();
    recorder.purgeIfDue(start);
    // The recorder has just taken its baseline: the first pass comes one interval later, so its
    // CPU shares and package power span a whole interval like those of every later pass.
    double nextPass = start + options.intervalS;
    bool stop = waitForStop(options.intervalS);
    while (!stop) {
        recorder.purgeIfDue(monotonicSeconds());
        if (!recorder.pass()) break;
        // Passes keep to the interval's grid; a pass that overran skips the slots it missed.
        nextPass += options.intervalS;
        const double now = monotonicSeconds();
        while (nextPass < now)
            nextPass += options.intervalS;
        if (durationS && nextPass - start > *durationS) break;
        stop = waitForStop(nextPass - now);
    }
    recorder.finish();
}

const CommandRegistration registration([](CLI::App& app) {
    auto options = std::make_shared<RecordOptions>();
    auto* command = app.add_subcommand(
        "record", "Record power snapshots into the history database until stopped");
    command->add_option("--db", options->database, "History database file")
        ->check(nonEmptyPathCheck)
        ->excludes(
            command->add_flag("--shared", options->shared, "Use the history shared by every user"));
    auto* interval =
        command->add_option("--interval", options->intervalS,
                            "Seconds between passes, 1 to 86400 (default: the background sampling "
                            "interval)");
    interval->check(secondsFrom(minIntervalS, maxIntervalS));
    command->add_option("--duration", options->duration, "Stop after this long (e.g. 60, 10m, 2h)")
        ->check(durationFromOneSecondCheck);
    command
        ->add_option("--retention", options->retention,
                     "Purge snapshots older than this (default 7d)")
        ->check(durationFromOneSecondCheck);
    command->callback([options, interval] {
        const auto durationS = parseSecondsOrDuration(options->duration);
        if (interval->count() > 0 && durationS && options->intervalS > *durationS) {
            throw CLI::ValidationError("--interval", "takes seconds up to --duration (" +
                                                         options->duration + "), not " +
                                                         text::formatted("%g", options->intervalS));
        }
        runRecord(*options);
    });
});

}  // namespace
}  // namespace joulix::cli
