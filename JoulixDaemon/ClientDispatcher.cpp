#include "JoulixDaemon/ClientDispatcher.h"

#include <algorithm>
#include <system_error>

namespace joulix {

ClientDispatcher::ClientDispatcher(AcceptHook accept, std::size_t maximumWorkers)
    : accept_(std::move(accept)), maximumWorkers_(std::max<std::size_t>(maximumWorkers, 1)) {}

ClientDispatcher::~ClientDispatcher() {
    std::list<std::shared_ptr<Worker>> all;
    {
        std::lock_guard guard(lock_);
        while (!workers_.empty())
            retireLocked(workers_.begin());
        all.swap(retired_);
    }
    for (auto& worker : all)
        worker->thread.join();
}

bool ClientDispatcher::dispatch(const std::string& client, Request request) {
    std::unique_lock guard(lock_);
    reapFinishedLocked();
    auto found = workers_.find(client);
    if (found == workers_.end()) {
        if (!makeRoomLocked(guard)) return false;
        found = workers_.find(client);  // another caller may have started it meanwhile
    }
    if (found == workers_.end()) {
        auto& state = clients_[client];
        if (!state) state = std::make_shared<Client>();
        auto worker = std::make_shared<Worker>();
        worker->client = state;
        Worker& started = *worker;
        found = workers_.emplace(client, std::move(worker)).first;
        try {
            started.thread = std::thread([this, &started] { work(started); });
        } catch (const std::system_error&) {
            workers_.erase(found);
            return false;
        }
    }
    if (found->second->queue.size() >= maximumQueuedRequests) return false;
    found->second->queue.push_back(std::move(request));
    found->second->wake.notify_one();
    return true;
}

void ClientDispatcher::clientDisappeared(const std::string& client) {
    std::lock_guard guard(lock_);
    clients_.erase(client);
    if (const auto found = workers_.find(client); found != workers_.end()) retireLocked(found);
    reapFinishedLocked();
}

std::size_t ClientDispatcher::liveWorkerCount() const {
    std::lock_guard guard(lock_);
    return workers_.size() +
           static_cast<std::size_t>(std::count_if(retired_.begin(), retired_.end(),
                                                  [](const auto& w) { return !w->finished; }));
}

void ClientDispatcher::work(Worker& worker) {
    std::unique_lock guard(lock_);
    while (true) {
        worker.wake.wait(guard, [&] { return worker.stopping || !worker.queue.empty(); });
        if (worker.stopping) break;
        Request request = std::move(worker.queue.front());
        worker.queue.pop_front();
        worker.busy = true;
        guard.unlock();
        deliver(*worker.client, request);
        request = nullptr;  // release what the request holds before taking the lock again
        guard.lock();
        worker.busy = false;
    }
    worker.finished = true;
    workerFinished_.notify_all();
}

void ClientDispatcher::deliver(Client& client, Request& request) {
    // Only this client's worker touches its connection, one request at a time.
    if (!client.decided) {
        client.decided = true;
        if (!accept_(client.connection)) client.connection = ClientConnection();
    }
    request(client.connection.deliveryTarget());
}

bool ClientDispatcher::makeRoomLocked(std::unique_lock<std::mutex>& guard) {
    while (workers_.size() + retired_.size() >= maximumWorkers_) {
        const auto idle = std::find_if(workers_.begin(), workers_.end(), [](const auto& entry) {
            return !entry.second->busy && entry.second->queue.empty();
        });
        if (idle == workers_.end()) return false;
        // An idle worker's thread ends at once; wait for it so that the slot is really free.
        const std::shared_ptr<Worker> reclaimed = idle->second;
        retireLocked(idle);
        workerFinished_.wait(guard, [&] { return reclaimed->finished; });
        reapFinishedLocked();
    }
    return true;
}

void ClientDispatcher::retireLocked(std::map<std::string, std::shared_ptr<Worker>>::iterator it) {
    auto worker = std::move(it->second);
    workers_.erase(it);
    worker->queue.clear();
    worker->stopping = true;
    worker->wake.notify_one();
    retired_.push_back(std::move(worker));
}

void ClientDispatcher::reapFinishedLocked() {
    for (auto it = retired_.begin(); it != retired_.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = retired_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace joulix
