#pragma once
// Linux machines have no System Management Controller user client: no connection ever opens.
#include "Platform/SMCDriver.h"

namespace joulix {

class UnavailableSMCDriver final : public SMCDriver {
  public:
    std::optional<uint32_t> open() override { return std::nullopt; }
    int32_t callStructMethod(uint32_t, uint32_t, const SMCRecordBytes&, SMCRecordBytes&) override {
        return -1;
    }
    void close(uint32_t) override {}
};

}  // namespace joulix
