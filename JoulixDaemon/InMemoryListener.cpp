#include "JoulixDaemon/InMemoryListener.h"

#include "SharedModels/Error.h"

#include <memory>
#include <utility>

namespace joulix {

InMemoryListener::InMemoryListener(std::size_t maximumWorkers)
    : dispatcher_(
          [this](ClientConnection& connection) {
              return delegate_ != nullptr &&
                     delegate_->shouldAcceptNewConnection(*this, connection);
          },
          maximumWorkers) {}

InMemoryListener::Client InMemoryListener::connect() {
    if (!resumed_) throw Error("The listener is not accepting connections.");
    return Client(*this, "client-" + std::to_string(nextClient_++));
}

template <typename Value, typename Invoke>
std::future<Value> InMemoryListener::send(const std::string& client, Invoke invoke) {
    auto promise = std::make_shared<std::promise<Value>>();
    auto future = promise->get_future();
    const bool queued =
        dispatcher_.dispatch(client, [promise, invoke](BatteryMetricsXPCProtocol* target) {
            if (target == nullptr) {
                promise->set_exception(
                    std::make_exception_ptr(Error("The service refused this connection.")));
                return;
            }
            bool replied = false;
            const auto reply = [&](Value value) {
                if (std::exchange(replied, true)) return;
                promise->set_value(std::move(value));
            };
            invoke(*target, reply);
            if (!replied) {
                promise->set_exception(
                    std::make_exception_ptr(Error("The service did not answer the request.")));
            }
        });
    if (!queued) promise->set_exception(std::make_exception_ptr(Error("The service is busy.")));
    return future;
}

std::future<bool> InMemoryListener::Client::ping() {
    return listener_->send<bool>(name_, [](BatteryMetricsXPCProtocol& target, const auto& reply) {
        target.ping([&](bool alive) { reply(alive); });
    });
}

std::future<ServiceReply> InMemoryListener::Client::setLowPowerMode(bool enabled) {
    return listener_->send<ServiceReply>(
        name_, [enabled](BatteryMetricsXPCProtocol& target, const auto& reply) {
            target.setLowPowerMode(enabled, [&](bool success, std::optional<std::string> message) {
                reply(ServiceReply{success, std::move(message)});
            });
        });
}

std::future<ServiceReply> InMemoryListener::Client::terminateProcess(int32_t pid) {
    return listener_->send<ServiceReply>(
        name_, [pid](BatteryMetricsXPCProtocol& target, const auto& reply) {
            target.terminateProcess(pid, [&](bool success, std::optional<std::string> message) {
                reply(ServiceReply{success, std::move(message)});
            });
        });
}

void InMemoryListener::Client::disconnect() {
    listener_->dispatcher_.clientDisappeared(name_);
}

}  // namespace joulix
