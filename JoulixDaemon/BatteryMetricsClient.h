#pragma once
// The service's client over D-Bus (used by `joulix`, the tests and the benchmark). Each call
// blocks until the reply arrives. A service that cannot be reached throws
// DaemonUnreachableError; an error reply from the service or the bus policy (access denied,
// service busy) throws DaemonRequestError.
#include "JoulixDaemon/DaemonBus.h"
#include "JoulixDaemon/ServiceReply.h"
#include "SharedModels/Error.h"

#include <cstdint>
#include <memory>
#include <string>

namespace joulix {

// what(): one line naming the service and the bus, then the reason.
class DaemonUnreachableError : public Error {
  public:
    using Error::Error;
};

class DaemonRequestError : public Error {
  public:
    DaemonRequestError(std::string errorName, const std::string& message)
        : Error(message), errorName_(std::move(errorName)) {}
    // The D-Bus error name, e.g. "org.freedesktop.DBus.Error.AccessDenied".
    const std::string& errorName() const { return errorName_; }

  private:
    std::string errorName_;
};

class BatteryMetricsClient {
  public:
    explicit BatteryMetricsClient(BusSelection bus, std::string busName = DaemonBus::busName());
    ~BatteryMetricsClient();
    BatteryMetricsClient(const BatteryMetricsClient&) = delete;
    BatteryMetricsClient& operator=(const BatteryMetricsClient&) = delete;

    bool ping();
    ServiceReply setLowPowerMode(bool enabled);
    ServiceReply terminateProcess(int32_t pid);
    // org.freedesktop.DBus.Peer.Ping to the service: the bus round trip alone.
    void peerPing();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace joulix
