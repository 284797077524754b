#include "JoulixDaemon/DaemonBus.h"

#include "SharedModels/AppConfiguration.h"

#include <sdbus-c++/sdbus-c++.h>

namespace joulix {

std::string BusSelection::description() const {
    switch (kind) {
    case Kind::system:
        return "the system bus";
    case Kind::session:
        return "the session bus";
    case Kind::address:
        return "the bus at " + address;
    }
    return {};
}

namespace DaemonBus {

std::string busName() {
    return AppConfiguration::daemonBundleIdentifier();
}

std::string objectPath(std::string_view name) {
    std::string path = "/";
    for (const char c : name)
        path += c == '.' ? '/' : c == '-' ? '_' : c;
    return path;
}

std::string interfaceName(std::string_view name) {
    return std::string(name) + ".BatteryMetrics";
}

std::unique_ptr<sdbus::IConnection> openConnection(const BusSelection& bus) {
    switch (bus.kind) {
    case BusSelection::Kind::system:
        return sdbus::createSystemBusConnection();
    case BusSelection::Kind::session:
        return sdbus::createSessionBusConnection();
    case BusSelection::Kind::address:
        return sdbus::createSessionBusConnectionWithAddress(bus.address);
    }
    return nullptr;
}

}  // namespace DaemonBus
}  // namespace joulix
