#pragma once
// A source of the display's power reading, in watts; absent when there is none.
#include <optional>

namespace joulix {

class SMCDisplayPowerReading {
  public:
    virtual ~SMCDisplayPowerReading() = default;
    virtual std::optional<double> readDisplayPowerWatts() = 0;
};

}  // namespace joulix
