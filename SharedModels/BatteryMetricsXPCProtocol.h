#pragma once
// The contract between the monitor and its privileged service. Every request carries a reply
// callback that the service calls exactly once, on the thread that delivered the request,
// before the request returns.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace joulix {

class BatteryMetricsXPCProtocol {
  public:
    using PingReply = std::function<void(bool alive)>;
    // `message` is absent when the operation has nothing to add.
    using OperationReply = std::function<void(bool success, std::optional<std::string> message)>;

    virtual ~BatteryMetricsXPCProtocol() = default;

    virtual void ping(PingReply reply) = 0;
    virtual void setLowPowerMode(bool enabled, OperationReply reply) = 0;
    virtual void terminateProcess(int32_t pid, OperationReply reply) = 0;
};

}  // namespace joulix
