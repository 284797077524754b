#pragma once
// Power and energy per application group under a bounded set of names: the `top` groups with
// the most energy since the ledger started keep their own name, every other group counts under
// "other", so a stream of new process names never adds more than top + 1 series.
// Energy of one interval is a capped trapezoid: half the gap (at most 60 s) times the sum of
// the group's watts at both ends, a group missing at one end counting 0 W there.
// A named series counts the energy since its group entered the top; when the group leaves,
// that count moves to "other", so the published counters always add up to all the energy seen
// and each of them only grows while its series exists. A group itself named "other" counts
// under "other". Not thread-safe: one owner feeds it and reads it.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace joulix {

class ApplicationEnergyLedger {
  public:
    static constexpr const char* otherName = "other";
    static constexpr double maxGapSeconds = 60;

    explicit ApplicationEnergyLedger(std::size_t top);

    // One pass at `timestampS` (seconds on any steady scale) with watts per group name.
    void record(double timestampS, const std::map<std::string, double>& wattsByGroup);

    struct Series {
        std::string app;
        double watts = 0;   // at the latest pass
        double joules = 0;  // counted under this name
    };
    // The top groups, most energy first, then "other"; empty before the first pass.
    std::vector<Series> series() const;

  private:
    struct Group {
        double watts = 0;       // at the latest pass
        double totalJ = 0;      // since the ledger started: the ranking
        double publishedJ = 0;  // since the group entered the top
        bool inTop = false;
    };
    void rank();
    void forgetQuietGroups();

    std::size_t top_;
    std::optional<double> lastTimestampS_;
    std::unordered_map<std::string, Group> groups_;
    std::vector<std::string> topNames_;
    double otherWatts_ = 0;
    double otherJ_ = 0;
};

}  // namespace joulix
