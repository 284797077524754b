#pragma once
// The daemon's listener/connection abstraction. A transport (D-Bus, or in memory for tests) owns
// a ServiceListener; the listener's delegate decides on each new client's connection before the
// client's first request is delivered, and sets the object the requests go to.
#include "SharedModels/BatteryMetricsXPCProtocol.h"

#include <optional>
#include <string>

namespace joulix {

// One client's link to the service. Requests are delivered only once the connection has an
// exported object and has been resumed; otherwise the transport refuses them.
class ServiceConnection {
  public:
    virtual ~ServiceConnection() = default;
    virtual void setExportedObject(BatteryMetricsXPCProtocol& object) = 0;
    virtual void resume() = 0;
};

class ServiceListener;

class ServiceListenerDelegate {
  public:
    virtual ~ServiceListenerDelegate() = default;
    virtual bool shouldAcceptNewConnection(ServiceListener& listener,
                                           ServiceConnection& connection) = 0;
};

class ServiceListener {
  public:
    virtual ~ServiceListener() = default;
    virtual void setDelegate(ServiceListenerDelegate& delegate) = 0;
    // Starts accepting clients.
    virtual void resume() = 0;
};

// The name of the client whose request runs on the calling thread (its unique bus name on D-Bus);
// empty outside a delivered request, that is for calls made inside the daemon itself.
const std::string& currentClientName();

// The connection state both transports keep per client.
class ClientConnection final : public ServiceConnection {
  public:
    void setExportedObject(BatteryMetricsXPCProtocol& object) override { exported_ = &object; }
    void resume() override { resumed_ = true; }

    // The object to deliver to, or null when the connection was refused or never resumed.
    BatteryMetricsXPCProtocol* deliveryTarget() const { return resumed_ ? exported_ : nullptr; }

  private:
    BatteryMetricsXPCProtocol* exported_ = nullptr;
    bool resumed_ = false;
};

}  // namespace joulix
