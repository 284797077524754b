#include "JoulixDaemon/BatteryMetricsClient.h"

#include <algorithm>
#include <array>
#include <sdbus-c++/sdbus-c++.h>

namespace joulix {

namespace {
// Errors that mean nobody (or not this service) answers at the name.
bool meansUnreachable(const std::string& errorName) {
    static constexpr std::array<std::string_view, 8> names = {
        "org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
        "org.freedesktop.DBus.Error.Disconnected",   "org.freedesktop.DBus.Error.NoServer",
        "org.freedesktop.DBus.Error.UnknownObject",  "org.freedesktop.DBus.Error.UnknownInterface",
        "org.freedesktop.DBus.Error.UnknownMethod",  "org.freedesktop.DBus.Error.Spawn.Failed"};
    return errorName.starts_with("org.sdbuscpp.") || errorName.starts_with("System.Error.") ||
           std::find(names.begin(), names.end(), errorName) != names.end();
}

// Errors that mean the call went out but no reply came within the time-out.
bool meansNoAnswer(const std::string& errorName) {
    return errorName == "org.freedesktop.DBus.Error.NoReply" ||
           errorName == "org.freedesktop.DBus.Error.Timeout" ||
           errorName == "org.freedesktop.DBus.Error.TimedOut";
}
}  // namespace

struct BatteryMetricsClient::Impl {
    BusSelection bus;
    std::string busName;
    std::string interface;
    std::chrono::seconds callTimeout{};
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;

    [[noreturn]] void unreachable(const std::string& reason) const {
        throw DaemonUnreachableError("Cannot reach " + busName + " on " + bus.description() + ": " +
                                     reason);
    }

    template <typename Call> auto call(Call&& perform) {
        try {
            return perform();
        } catch (const sdbus::Error& error) {
            if (meansNoAnswer(error.getName())) {
                throw DaemonUnreachableError(busName + " on " + bus.description() +
                                             " did not answer within " +
                                             std::to_string(callTimeout.count()) + " s");
            }
            if (meansUnreachable(error.getName())) unreachable(error.getMessage());
            throw DaemonRequestError(error.getName(), error.getMessage());
        }
    }

    ServiceReply operation(std::string_view method, auto argument) {
        return call([&] {
            bool success = false;
            std::string message;
            proxy->callMethod(std::string(method))
                .onInterface(interface)
                .withTimeout(callTimeout)
                .withArguments(argument)
                .storeResultsTo(success, message);
            return ServiceReply{success, message.empty() ? std::nullopt
                                                         : std::optional<std::string>(message)};
        });
    }
};

BatteryMetricsClient::BatteryMetricsClient(BusSelection bus, std::string busName,
                                           std::chrono::seconds callTimeout)
    : impl_(std::make_unique<Impl>()) {
    impl_->bus = std::move(bus);
    impl_->callTimeout = callTimeout;
    impl_->busName = std::move(busName);
    impl_->interface = DaemonBus::interfaceName(impl_->busName);
    try {
        impl_->connection = DaemonBus::openConnection(impl_->bus);
        impl_->proxy = sdbus::createProxy(*impl_->connection, impl_->busName,
                                          DaemonBus::objectPath(impl_->busName));
    } catch (const sdbus::Error& error) {
        impl_->unreachable(error.getMessage());
    }
}

BatteryMetricsClient::~BatteryMetricsClient() = default;

bool BatteryMetricsClient::ping() {
    return impl_->call([&] {
        bool alive = false;
        impl_->proxy->callMethod(std::string(DaemonBus::pingMethod))
            .onInterface(impl_->interface)
            .withTimeout(impl_->callTimeout)
            .storeResultsTo(alive);
        return alive;
    });
}

ServiceReply BatteryMetricsClient::setLowPowerMode(bool enabled) {
    return impl_->operation(DaemonBus::setLowPowerModeMethod, enabled);
}

ServiceReply BatteryMetricsClient::terminateProcess(int32_t pid) {
    return impl_->operation(DaemonBus::terminateProcessMethod, pid);
}

void BatteryMetricsClient::peerPing() {
    impl_->call([&] {
        impl_->proxy->callMethod(
            impl_->proxy->createMethodCall("org.freedesktop.DBus.Peer", "Ping"),
            std::chrono::duration_cast<std::chrono::microseconds>(impl_->callTimeout).count());
    });
}

}  // namespace joulix
