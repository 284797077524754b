#pragma once
// The listener on D-Bus. Each client (one unique bus name) is one connection: its first call
// runs the delegate's acceptance, its calls run in order on its own worker (ClientDispatcher),
// each answered exactly once, and its worker ends when it leaves the bus. The bus thread only
// routes calls, so it never waits for a handler. Unknown methods, wrong argument types and
// unknown objects get D-Bus error replies from the bus library.
#include "JoulixDaemon/ClientDispatcher.h"
#include "JoulixDaemon/DaemonBus.h"
#include "JoulixDaemon/ServiceListener.h"
#include "SharedModels/Error.h"

#include <memory>
#include <string>

namespace joulix {

class DBusListener final : public ServiceListener {
  public:
    // Connects to `bus`; throws Error naming the bus when it cannot be reached.
    DBusListener(BusSelection bus, std::string busName,
                 std::size_t maximumWorkers = ClientDispatcher::defaultMaximumWorkers);
    // Stops routing calls, lets calls in progress finish, then closes the connection.
    ~DBusListener() override;

    void setDelegate(ServiceListenerDelegate& delegate) override;
    // Exports the service object, takes the bus name and serves on a thread of its own.
    // Throws Error when the name cannot be owned.
    void resume() override;

    // Blocks until the connection to the bus is lost while serving, and returns what the bus
    // library said; never returns while the connection lasts.
    std::string waitUntilDisconnected();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace joulix
