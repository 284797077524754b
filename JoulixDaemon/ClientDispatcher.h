#pragma once
// Delivers each client's requests in order on that client's own worker thread, so a slow request
// of one client never holds another. A client's first request first runs the accept hook on its
// connection. At most `maximumWorkers` worker threads exist: an idle worker is reclaimed for a new
// client when the limit is reached; when every worker is busy the new client waits, its requests
// queued, and gets the next worker that turns idle or ends. A request is refused only when its
// client already has `maximumQueuedRequests` waiting or `maximumWaitingRequests` wait in all.
// When a client leaves, its queued requests are dropped (their replies would go nowhere) and its
// worker ends after the request in progress.
#include "JoulixDaemon/ServiceListener.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace joulix {

class ClientDispatcher {
  public:
    static constexpr std::size_t defaultMaximumWorkers = 64;
    // Requests one client may have waiting behind the one in progress: a client that keeps
    // sending without waiting for replies cannot grow the daemon's memory without limit.
    static constexpr std::size_t maximumQueuedRequests = 256;
    // Requests waiting across all clients: enough for thousands of clients held up by slow calls.
    static constexpr std::size_t maximumWaitingRequests = 16384;

    // Runs on the client's worker with the object to call, or null when the client's connection
    // was not accepted.
    using Request = std::function<void(BatteryMetricsXPCProtocol* target)>;
    using AcceptHook = std::function<bool(ClientConnection& connection)>;

    explicit ClientDispatcher(AcceptHook accept,
                              std::size_t maximumWorkers = defaultMaximumWorkers);
    // Drops queued requests, lets requests in progress finish and joins every worker.
    ~ClientDispatcher();
    ClientDispatcher(const ClientDispatcher&) = delete;
    ClientDispatcher& operator=(const ClientDispatcher&) = delete;

    // Queues `request` for `client`. False, with nothing queued, when it is refused (above).
    bool dispatch(const std::string& client, Request request);
    void clientDisappeared(const std::string& client);

    std::size_t maximumWorkers() const { return maximumWorkers_; }
    std::size_t liveWorkerCount() const;

  private:
    struct Client {
        ClientConnection connection;
        bool decided = false;
    };
    // A client's queue and the thread serving it; no thread yet while the client waits for one.
    struct Worker {
        std::string name;
        std::shared_ptr<Client> client;
        std::deque<Request> queue;
        bool busy = false;
        bool stopping = false;
        bool finished = false;
        std::condition_variable wake;
        std::thread thread;
    };

    void work(Worker& worker);
    void deliver(Client& client, Request& request);
    // With lock_ held: makes room for one more worker; false when every worker is busy.
    bool makeRoomLocked(std::unique_lock<std::mutex>& guard);
    // With lock_ held: threads that have not finished yet.
    std::size_t runningLocked() const;
    // With lock_ held: starts threads for waiting clients while there is room.
    void startWaitingLocked();
    bool startLocked(Worker& worker);
    void retireLocked(std::map<std::string, std::shared_ptr<Worker>>::iterator it);
    void reapFinishedLocked();

    const AcceptHook accept_;
    const std::size_t maximumWorkers_;
    mutable std::mutex lock_;
    std::map<std::string, std::shared_ptr<Client>> clients_;
    std::map<std::string, std::shared_ptr<Worker>> workers_;
    std::list<std::shared_ptr<Worker>> retired_;  // stopping workers not yet joined
    std::deque<std::string> waiting_;             // clients without a thread, oldest first
    std::size_t queuedRequests_ = 0;              // requests in every worker's queue
    std::condition_variable workerFinished_;
};

}  // namespace joulix
