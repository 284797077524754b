#pragma once
// The JSON form of the records: compact objects whose keys are the field names in declared
// order, dates as seconds since 2001 (a number), absent optionals left out, doubles in their
// shortest round-trip form (integral values without a fraction).
//
// Decoding is strict: a missing required key, a value of the wrong type, an unknown enumeration
// value, a fractional or out-of-range number for an integer field (all integers are 64-bit), or
// bytes that are not JSON throw DecodingError naming the key path ("processes[3].pid"). A missing
// or null optional is absent; unknown keys are ignored. Exceptions to the strict rule:
// ProcessSample (only pid and name required; missing or null counters are 0 or false),
// ComponentDrain (missing or null watts are 0) and SamplingConfig (every key optional, then the
// lower bounds of its constructor). AttributionInput follows the strict rule with its processes
// read as ProcessSample. Encoding throws EncodingError for a NaN or infinite number, which JSON
// cannot hold; text that is not valid UTF-8 is written with U+FFFD in place of the bad bytes.
#include "SharedModels/BatteryStatusSample.h"
#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/Error.h"
#include "SharedModels/HiddenDrain.h"
#include "SharedModels/ProcessSample.h"
#include "SharedModels/SamplingConfig.h"

#include <string>
#include <string_view>

namespace joulix {

// "The encoder's error": a number JSON cannot represent, and where it was.
class EncodingError : public Error {
  public:
    EncodingError(const std::string& keyPath, double value);
    const std::string& keyPath() const { return keyPath_; }

  private:
    std::string keyPath_;
};

namespace SnapshotCodec {

std::string encode(const DrainSnapshot& snapshot);
std::string encode(const SamplingConfig& config);
std::string encode(const ProcessSample& sample);
std::string encode(const HiddenWorkloadHostShare& share);
std::string encode(const HiddenWorkloadMapping& mapping);
std::string encode(const AttributionInput& input);
std::string encode(const HiddenDrain& drain);
std::string encode(const ProcessDrain& drain);
std::string encode(const ComponentDrain& drain);
std::string encode(const SourceTelemetry& telemetry);
std::string encode(const PowerUsageContext& context);
std::string encode(const BatteryStatusSample& sample);

// decode<DrainSnapshot>(bytes), decode<SamplingConfig>(bytes), … for every record above.
template <typename Record> Record decode(std::string_view json);

extern template DrainSnapshot decode<DrainSnapshot>(std::string_view);
extern template SamplingConfig decode<SamplingConfig>(std::string_view);
extern template ProcessSample decode<ProcessSample>(std::string_view);
extern template HiddenWorkloadHostShare decode<HiddenWorkloadHostShare>(std::string_view);
extern template HiddenWorkloadMapping decode<HiddenWorkloadMapping>(std::string_view);
extern template AttributionInput decode<AttributionInput>(std::string_view);
extern template HiddenDrain decode<HiddenDrain>(std::string_view);
extern template ProcessDrain decode<ProcessDrain>(std::string_view);
extern template ComponentDrain decode<ComponentDrain>(std::string_view);
extern template SourceTelemetry decode<SourceTelemetry>(std::string_view);
extern template PowerUsageContext decode<PowerUsageContext>(std::string_view);
extern template BatteryStatusSample decode<BatteryStatusSample>(std::string_view);

}  // namespace SnapshotCodec

}  // namespace joulix
