#pragma once
// The service's client over D-Bus (used by `joulix`, the tests and the benchmark). Each call
// blocks until the reply arrives or `callTimeout` passes. A service that cannot be reached, or
// that does not answer in time, throws DaemonUnreachableError (the two told apart in its text);
// an error reply from the service or the bus policy (access denied, service busy) throws
// DaemonRequestError.
#include "JoulixDaemon/DaemonBus.h"
#include "JoulixDaemon/ServiceReply.h"
#include "SharedModels/Error.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace joulix {

// what(): one line naming the service and the bus, then the reason ("Cannot reach …") or the
// time waited ("… did not answer within N s").
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
    static constexpr std::chrono::seconds defaultCallTimeout{25};

    explicit BatteryMetricsClient(BusSelection bus, std::string busName = DaemonBus::busName(),
                                  std::chrono::seconds callTimeout = defaultCallTimeout);
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
