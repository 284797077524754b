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
//
// Adding a record (declared in SharedModels, with operator== defaulted):
//   1. In SnapshotCodec.cpp, list its fields once: a `Fields<Record>` specialization, one line
//      per member in declared order, each `required`, `optional` (std::optional members) or
//      `lenient`. Encoder and decoder both read this list; nested records and vectors of
//      records need nothing more.
//   2. Add its two `extern template` lines below and the same two lines, without `extern`, at
//      the end of SnapshotCodec.cpp.
//   3. Add a golden file under tests/fixtures/records/ and its line in the golden test.
// A member of a new enumeration type also needs a `toJson` and a `read` overload (as
// SamplingMode has); a record whose constructor checks its values gets a `finishDecoding`
// overload (as SamplingConfig has).
#include "SharedModels/BatteryStatusSample.h"
#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/Error.h"
#include "SharedModels/HiddenDrain.h"
#include "SharedModels/Presentation/DetailsRecords.h"
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

template <typename Record> std::string encode(const Record& record);
template <typename Record> Record decode(std::string_view json);

extern template std::string encode(const DrainSnapshot&);
extern template DrainSnapshot decode<DrainSnapshot>(std::string_view);
extern template std::string encode(const SamplingConfig&);
extern template SamplingConfig decode<SamplingConfig>(std::string_view);
extern template std::string encode(const ProcessSample&);
extern template ProcessSample decode<ProcessSample>(std::string_view);
extern template std::string encode(const HiddenWorkloadHostShare&);
extern template HiddenWorkloadHostShare decode<HiddenWorkloadHostShare>(std::string_view);
extern template std::string encode(const HiddenWorkloadMapping&);
extern template HiddenWorkloadMapping decode<HiddenWorkloadMapping>(std::string_view);
extern template std::string encode(const AttributionInput&);
extern template AttributionInput decode<AttributionInput>(std::string_view);
extern template std::string encode(const HiddenDrain&);
extern template HiddenDrain decode<HiddenDrain>(std::string_view);
extern template std::string encode(const ProcessDrain&);
extern template ProcessDrain decode<ProcessDrain>(std::string_view);
extern template std::string encode(const ComponentDrain&);
extern template ComponentDrain decode<ComponentDrain>(std::string_view);
extern template std::string encode(const SourceTelemetry&);
extern template SourceTelemetry decode<SourceTelemetry>(std::string_view);
extern template std::string encode(const PowerUsageContext&);
extern template PowerUsageContext decode<PowerUsageContext>(std::string_view);
extern template std::string encode(const BatteryStatusSample&);
extern template BatteryStatusSample decode<BatteryStatusSample>(std::string_view);
extern template std::string encode(const DetailsPipelineOutput&);
extern template DetailsPipelineOutput decode<DetailsPipelineOutput>(std::string_view);

// The same JSON for a person or a script to read rather than to decode again: a NaN or infinite
// number (a corrupt stored value, say) is written as null instead of failing the whole output.
std::string encodeForReading(const DetailsPipelineOutput& output);

}  // namespace SnapshotCodec

}  // namespace joulix
