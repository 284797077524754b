#pragma once
// One timing span of a presentation build stage, ended when it goes out of scope. Nothing
// happens without a profiling context or with its profiler switched off. The span carries
// "uiThread" = "1" on the main thread and "0" elsewhere, beside the given attributes.
#include "SharedModels/Presentation/GraphRecords.h"

#include <optional>
#include <string>
#include <string_view>

namespace joulix {

class BuildSpan {
  public:
    BuildSpan(const std::optional<GraphProfilingContext>& profiling, std::string_view component,
              std::string_view function, ProfileContext attributes = {})
        : profiler_(profiling ? profiling->profiler : nullptr) {
        if (profiler_ == nullptr || !profiler_->isEnabled()) return;
        attributes.insert_or_assign("uiThread", std::string(isMainThread() ? "1" : "0"));
        span_ =
            profiler_->beginSpan(component, profiling->parentComponent, profiling->correlationID,
                                 attributes, ProfileCallSite{__FILE__, function, __LINE__});
    }
    ~BuildSpan() {
        if (span_) profiler_->endSpan(span_);
    }
    BuildSpan(const BuildSpan&) = delete;
    BuildSpan& operator=(const BuildSpan&) = delete;

  private:
    ComponentProfiler* profiler_;
    std::optional<ComponentProfileSpan> span_;
};

}  // namespace joulix
