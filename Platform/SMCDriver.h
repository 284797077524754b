#pragma once
// The System Management Controller's driver: opening a connection to its user client and the
// structure call that exchanges one 80-byte key-data record. The Linux driver
// (linux/UnavailableSMCDriver.h) has no controller, so opening always fails.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

namespace joulix {

using SMCRecordBytes = std::array<uint8_t, 80>;

class SMCDriver {
  public:
    virtual ~SMCDriver() = default;
    // Opens a connection to the controller's user client; absent when there is none.
    virtual std::optional<uint32_t> open() = 0;
    // One structure call on the connection; the return code, 0 on success.
    virtual int32_t callStructMethod(uint32_t connection, uint32_t selector,
                                     const SMCRecordBytes& input, SMCRecordBytes& output) = 0;
    virtual void close(uint32_t connection) = 0;
};

// This platform's controller driver.
std::shared_ptr<SMCDriver> platformSMCDriver();

}  // namespace joulix
