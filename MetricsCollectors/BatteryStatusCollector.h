#pragma once
// The battery's status from one run of `ioreg -r -n AppleSmartBattery -a`: the property list it
// prints (XML or binary) is parsed, the first battery dictionary's keys are read and the level,
// remaining energy, discharge power and time remaining are derived. Logs under "BatteryStatus".
// Holds no state; blocks for the run time of the tool.
#include "MetricsCollectors/ShellRunner.h"
#include "SharedModels/BatteryStatusSample.h"
#include "SharedModels/Error.h"

#include <memory>
#include <string_view>

namespace joulix {

// The tool's output is not a property list.
class PropertyListError : public Error {
  public:
    PropertyListError()
        : Error("The data couldn\u2019t be read because it isn\u2019t in the correct format.") {}
};

class BatteryStatusCollector {
  public:
    explicit BatteryStatusCollector(
        std::shared_ptr<const ShellRunning> shell = std::make_shared<DefaultShellRunner>());

    // Throws ShellRunnerError (launch, time-out, non-zero exit, unusable root) or
    // PropertyListError.
    BatteryStatusSample collectStatus() const;

    // The sample of one `ioreg` output; throws as collectStatus does for the parsing steps.
    static BatteryStatusSample sampleFromPropertyList(std::string_view output);

  private:
    std::shared_ptr<const ShellRunning> shell;
};

}  // namespace joulix
