#pragma once
// Who a client of the daemon is, and what the machine's authority (polkit) lets it do. Both are
// asked on the bus the client called on: the bus knows the uid behind a connection
// (GetConnectionUnixUser), and polkit judges the connection itself (subject "system-bus-name"),
// so a pid reused by another process can never borrow a caller's authorisation.
#include "JoulixDaemon/DaemonBus.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace joulix {

class CallerAuthority {
  public:
    enum class Answer { authorized, notAuthorized, noAuthority };

    // End another user's process (admin authentication, kept for a while).
    static constexpr const char* terminateAnyAction = "com.joulix.metricsd.terminate-any";
    // Switch the power profile (allowed to the active local session).
    static constexpr const char* setLowPowerModeAction = "com.joulix.metricsd.set-low-power-mode";

    virtual ~CallerAuthority() = default;
    // The uid behind the bus name; absent when the bus does not know it (it has left).
    virtual std::optional<uint32_t> unixUser(const std::string& busName) const = 0;
    // polkit's answer for `busName` doing `action`, with interaction allowed (an authentication
    // prompt); noAuthority when no polkit answers on the bus. Any other failure is a refusal.
    virtual Answer checkAuthorization(const std::string& busName,
                                      const std::string& action) const = 0;
};

// Asks on `bus`, one connection per question, so the object holds no state.
std::shared_ptr<const CallerAuthority> busCallerAuthority(BusSelection bus);

}  // namespace joulix
