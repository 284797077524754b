#pragma once
// The exporter's sampling pass: one builder over this platform's sources kept across passes
// (its readers measure over the interval since the previous pass), the reference attribution,
// the processes named after the recent passes and grouped into applications by the
// presentation rules. One pass at a time.
#include "Export/PrometheusPowerMetrics.h"
#include "MetricsCollectors/LiveAttributionInputBuilder.h"
#include "MetricsCollectors/ShellRunner.h"
#include "SharedModels/DrainSnapshot.h"

#include <memory>
#include <vector>

namespace joulix {

class ApplicationPassSampler {
  public:
    ApplicationPassSampler();

    // A first observation: the next pass measures CPU shares and package power since now.
    void observeBaseline();
    // One pass; throws what attribution or naming throws.
    ExportedPass pass();

  private:
    std::shared_ptr<DefaultShellRunner> shell_ = std::make_shared<DefaultShellRunner>();
    LiveAttributionInputBuilder builder_;
    std::vector<DrainSnapshot> recent_;
};

}  // namespace joulix
