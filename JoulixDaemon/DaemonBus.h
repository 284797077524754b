#pragma once
// Where the service lives on D-Bus: which bus, its well-known name, object path and interface,
// and the names of its methods.
#include <memory>
#include <string>
#include <string_view>

namespace sdbus {
class IConnection;
}

namespace joulix {

struct BusSelection {
    enum class Kind { system, session, address };
    Kind kind = Kind::system;
    std::string address;  // for Kind::address, a D-Bus address such as "unix:path=/run/x"

    static BusSelection system() { return {}; }
    static BusSelection session() { return {Kind::session, {}}; }
    static BusSelection at(std::string address) { return {Kind::address, std::move(address)}; }

    // "the system bus", "the session bus" or "the bus at ADDRESS".
    std::string description() const;
};

namespace DaemonBus {
inline constexpr std::string_view pingMethod = "Ping";
inline constexpr std::string_view setLowPowerModeMethod = "SetLowPowerMode";
inline constexpr std::string_view terminateProcessMethod = "TerminateProcess";

// The daemon's bundle identifier (default "com.joulix.metricsd").
std::string busName();
// "/" + the name with "." replaced by "/" ("-", valid in bus names only, becomes "_").
std::string objectPath(std::string_view busName);
// The name + ".BatteryMetrics".
std::string interfaceName(std::string_view busName);

// Opens a connection to the selected bus; throws sdbus::Error.
std::unique_ptr<sdbus::IConnection> openConnection(const BusSelection& bus);
}  // namespace DaemonBus

}  // namespace joulix
