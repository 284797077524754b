#pragma once
// `joulix export`: sampling passes every interval, their metrics served on /metrics over HTTP
// and/or written to a textfile for node_exporter's textfile collector.
// - Construction checks everything that can fail at start and throws ExporterError with one
//   line naming it: a bad listen address, a port that cannot be bound, a textfile folder that
//   cannot be written (the first textfile is written then).
// - run() takes a baseline, makes the first pass after at most a second, then one pass every
//   interval on a fixed grid (a pass that overran skips the slots it missed) until `stop` is
//   requested, at a lower priority than the scrapes. A failed pass keeps the last good figures
//   and counts a failure.
// - Scrapes run on the HTTP server's own threads and copy the latest published metrics, so a
//   slow or hung scraper never delays a pass.
// - The textfile is replaced whole after every pass: a side file beside it (created afresh,
//   never through a link), mode 0644, renamed over it.
#include "Export/ApplicationPassSampler.h"
#include "Export/PrometheusPowerMetrics.h"
#include "Platform/PowerProfileService.h"
#include "SharedModels/Error.h"

#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace prometheus {
class Exposer;
}

namespace joulix {

class ExporterError : public Error {
  public:
    using Error::Error;
};

struct ExporterOptions {
    std::optional<std::string> listen{};  // ADDRESS:PORT ([ADDRESS]:PORT for IPv6); port 0: any
    std::optional<std::string> textfile{};
    double intervalS = 15;
    std::size_t top = 10;
    std::string version{};
    // Asked for the active profile before each pass; a service that does not answer leaves
    // the profile out. Null: not asked.
    std::shared_ptr<const PowerProfileService> powerProfiles{};
};

class MetricsExporter {
  public:
    explicit MetricsExporter(ExporterOptions options);
    ~MetricsExporter();

    // The bound ports of the HTTP server (resolving port 0).
    std::vector<int> listeningPorts() const;
    // Passes until `stop` is requested.
    void run(std::stop_token stop);

  private:
    void onePass();
    void writeTextfile();

    ExporterOptions options_;
    std::shared_ptr<PrometheusPowerMetrics> metrics_;
    std::unique_ptr<prometheus::Exposer> exposer_;
    ApplicationPassSampler sampler_;
};

// Lowers the calling thread's priority by 10 steps and puts it in the idle scheduling class (and
// so the tools it starts), so that the HTTP server's threads answer a scrape first while a pass
// runs on this one.
void yieldToScrapes();

// Writes `text` to `path` whole: a side file created afresh beside it (O_EXCL, no link
// followed), mode 0644, renamed over the path. Throws ExporterError naming what failed.
void writeFileAtomically(const std::string& path, const std::string& text);

}  // namespace joulix
