#pragma once
// A listener without a bus, for exercising the service: each connected Client is one
// connection whose requests run in order on its own worker, exactly as on D-Bus. A request's
// future holds the reply, or an Error when the connection was refused, the service is busy or
// no reply was given.
#include "JoulixDaemon/ClientDispatcher.h"
#include "JoulixDaemon/ServiceListener.h"
#include "JoulixDaemon/ServiceReply.h"

#include <atomic>
#include <cstdint>
#include <future>
#include <string>

namespace joulix {

class InMemoryListener final : public ServiceListener {
  public:
    explicit InMemoryListener(std::size_t maximumWorkers = ClientDispatcher::defaultMaximumWorkers);

    void setDelegate(ServiceListenerDelegate& delegate) override { delegate_ = &delegate; }
    void resume() override { resumed_ = true; }

    class Client {
      public:
        std::future<bool> ping();
        std::future<ServiceReply> setLowPowerMode(bool enabled);
        std::future<ServiceReply> terminateProcess(int32_t pid);
        // Leaves, as a client leaving the bus: queued requests are dropped.
        void disconnect();

      private:
        friend class InMemoryListener;
        Client(InMemoryListener& listener, std::string name)
            : listener_(&listener), name_(std::move(name)) {}
        InMemoryListener* listener_;
        std::string name_;
    };

    // Fails with Error when the listener has not been resumed.
    Client connect();

  private:
    template <typename Value, typename Invoke>
    std::future<Value> send(const std::string& client, Invoke invoke);

    ServiceListenerDelegate* delegate_ = nullptr;
    std::atomic<bool> resumed_ = false;
    std::atomic<uint64_t> nextClient_ = 1;
    ClientDispatcher dispatcher_;
};

}  // namespace joulix
