#include "JoulixDaemon/DBusListener.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <sdbus-c++/sdbus-c++.h>
#include <thread>
#include <utility>

namespace joulix {

namespace {
constexpr const char* accessDeniedError = "org.freedesktop.DBus.Error.AccessDenied";
constexpr const char* limitsExceededError = "org.freedesktop.DBus.Error.LimitsExceeded";
constexpr const char* failedError = "org.freedesktop.DBus.Error.Failed";

// Replies go out from worker threads; a client that has left or asked for no reply makes
// sending fail, which changes nothing for the daemon.
template <typename... Values>
void sendReply(const sdbus::MethodCall& call, const Values&... values) {
    if (call.doesntExpectReply()) return;
    try {
        auto reply = call.createReply();
        (reply << ... << values);
        reply.send();
    } catch (const sdbus::Error&) {
    }
}

void sendError(const sdbus::MethodCall& call, const char* name, const std::string& message) {
    if (call.doesntExpectReply()) return;
    try {
        call.createErrorReply(sdbus::Error(name, message)).send();
    } catch (const sdbus::Error&) {
    }
}

// Guards the rule that every call is answered exactly once: a second reply is ignored, and a
// handler that returns (or throws) without replying gets an error reply in its place.
class ReplyOnce {
  public:
    explicit ReplyOnce(sdbus::MethodCall call) : call_(std::move(call)) {}
    template <typename... Values> void operator()(const Values&... values) {
        if (std::exchange(replied_, true)) return;
        sendReply(call_, values...);
    }
    void fail(const std::string& message) {
        if (std::exchange(replied_, true)) return;
        sendError(call_, failedError, message);
    }

  private:
    sdbus::MethodCall call_;
    bool replied_ = false;
};

using Invocation = std::function<void(BatteryMetricsXPCProtocol& target, ReplyOnce& reply)>;
}  // namespace

struct DBusListener::Impl {
    Impl(BusSelection selectedBus, std::string name, std::size_t maximumWorkers)
        : bus(std::move(selectedBus)), busName(std::move(name)),
          dispatcher([this](ClientConnection& client) { return accept(client); }, maximumWorkers) {}

    bool accept(ClientConnection& client) {
        return delegate != nullptr && delegate->shouldAcceptNewConnection(*owner, client);
    }

    // Bus thread: hands the call to its client's worker.
    void route(sdbus::MethodCall call, Invocation invoke) {
        const auto sender = call.getSender();
        const bool queued =
            dispatcher.dispatch(sender, [call, invoke](BatteryMetricsXPCProtocol* target) {
                ReplyOnce reply(call);
                if (target == nullptr) {
                    sendError(call, accessDeniedError, "The service refused this connection.");
                    return;
                }
                try {
                    invoke(*target, reply);
                    reply.fail("The service did not answer the request.");
                } catch (const std::exception& error) {
                    reply.fail(error.what());
                }
            });
        if (!queued) {
            sendError(call, limitsExceededError,
                      "The service is busy: this client already has " +
                          std::to_string(ClientDispatcher::maximumQueuedRequests) +
                          " requests waiting, or " +
                          std::to_string(ClientDispatcher::maximumWaitingRequests) +
                          " requests wait in all.");
        }
    }

    void clientLeft(sdbus::Message& signal) {
        std::string name, oldOwner, newOwner;
        try {
            signal >> name >> oldOwner >> newOwner;
        } catch (const sdbus::Error&) {
            return;
        }
        if (name.starts_with(':') && newOwner.empty()) dispatcher.clientDisappeared(name);
    }

    void exportObject() {
        const auto interface = DaemonBus::interfaceName(busName);
        object = sdbus::createObject(*connection, DaemonBus::objectPath(busName));
        using OptionalText = std::optional<std::string>;
        const auto operationReply = [](ReplyOnce& reply) {
            return [&reply](bool success, const OptionalText& message) {
                reply(success, message.value_or(std::string()));
            };
        };
        object->registerMethod(interface, std::string(DaemonBus::pingMethod), "", {}, "b",
                               {"alive"}, [this](sdbus::MethodCall call) {
                                   route(std::move(call),
                                         [](BatteryMetricsXPCProtocol& target, ReplyOnce& reply) {
                                             target.ping([&reply](bool alive) { reply(alive); });
                                         });
                               });
        object->registerMethod(
            interface, std::string(DaemonBus::setLowPowerModeMethod), "b", {"enabled"}, "bs",
            {"success", "message"}, [this, operationReply](sdbus::MethodCall call) {
                bool enabled = false;
                call >> enabled;
                route(std::move(call), [enabled, operationReply](BatteryMetricsXPCProtocol& target,
                                                                 ReplyOnce& reply) {
                    target.setLowPowerMode(enabled, operationReply(reply));
                });
            });
        object->registerMethod(
            interface, std::string(DaemonBus::terminateProcessMethod), "i", {"pid"}, "bs",
            {"success", "message"}, [this, operationReply](sdbus::MethodCall call) {
                int32_t pid = 0;
                call >> pid;
                route(std::move(call),
                      [pid, operationReply](BatteryMetricsXPCProtocol& target, ReplyOnce& reply) {
                          target.terminateProcess(pid, operationReply(reply));
                      });
            });
        object->finishRegistration();
    }

    // The serving thread: runs the event loop until it is left or the connection breaks.
    void serve() {
        try {
            connection->enterEventLoop();
        } catch (const std::exception& error) {  // the bus library's Error when the bus is gone
            std::lock_guard guard(disconnectionLock);
            disconnection = error.what();
            disconnected.notify_all();
        }
    }

    ServiceListener* owner = nullptr;
    ServiceListenerDelegate* delegate = nullptr;
    const BusSelection bus;
    const std::string busName;
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IObject> object;
    bool serving = false;
    std::thread loop;
    std::mutex disconnectionLock;
    std::condition_variable disconnected;
    std::optional<std::string> disconnection;
    ClientDispatcher dispatcher;  // declared last: its workers end before the connection closes
};

DBusListener::DBusListener(BusSelection bus, std::string busName, std::size_t maximumWorkers)
    : impl_(std::make_unique<Impl>(std::move(bus), std::move(busName), maximumWorkers)) {
    impl_->owner = this;
    try {
        impl_->connection = DaemonBus::openConnection(impl_->bus);
    } catch (const sdbus::Error& error) {
        throw Error("Cannot connect to " + impl_->bus.description() + ": " + error.getMessage());
    }
}

DBusListener::~DBusListener() {
    if (!impl_->serving) return;
    impl_->connection->leaveEventLoop();
    impl_->loop.join();
}

void DBusListener::setDelegate(ServiceListenerDelegate& delegate) {
    impl_->delegate = &delegate;
}

void DBusListener::resume() {
    try {
        impl_->exportObject();
        impl_->connection->addMatch(
            "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
            "member='NameOwnerChanged'",
            [impl = impl_.get()](sdbus::Message& signal) { impl->clientLeft(signal); },
            sdbus::floating_slot);
        impl_->connection->requestName(impl_->busName);
    } catch (const sdbus::Error& error) {
        throw Error("Unable to serve " + impl_->busName + " on " + impl_->bus.description() + ": " +
                    error.getMessage());
    }
    impl_->loop = std::thread([impl = impl_.get()] { impl->serve(); });
    impl_->serving = true;
}

std::string DBusListener::waitUntilDisconnected() {
    std::unique_lock guard(impl_->disconnectionLock);
    impl_->disconnected.wait(guard, [this] { return impl_->disconnection.has_value(); });
    return *impl_->disconnection;
}

}  // namespace joulix
