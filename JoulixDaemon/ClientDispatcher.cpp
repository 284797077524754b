#include "JoulixDaemon/ClientDispatcher.h"

#include <algorithm>
#include <system_error>

namespace joulix {

namespace {
thread_local std::string deliveringClient;
}

const std::string& currentClientName() {
    return deliveringClient;
}

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
    for (auto& worker : all) {
        if (worker->thread.joinable()) worker->thread.join();
    }
}

bool ClientDispatcher::dispatch(const std::string& client, Request request) {
    std::unique_lock guard(lock_);
    reapFinishedLocked();
    startWaitingLocked();
    if (queuedRequests_ >= maximumWaitingRequests) return false;
    auto found = workers_.find(client);
    if (found == workers_.end()) {
        const bool room = makeRoomLocked(guard);
        found = workers_.find(client);  // another caller may have started it meanwhile
        if (found == workers_.end()) {
            auto& state = clients_[client];
            if (!state) state = std::make_shared<Client>();
            auto worker = std::make_shared<Worker>();
            worker->name = client;
            worker->client = state;
            found = workers_.emplace(client, std::move(worker)).first;
            if (!room || !startLocked(*found->second)) waiting_.push_back(client);
        }
    }
    Worker& worker = *found->second;
    if (worker.queue.size() >= maximumQueuedRequests) return false;
    worker.queue.push_back(std::move(request));
    ++queuedRequests_;
    worker.wake.notify_one();
    return true;
}

void ClientDispatcher::clientDisappeared(const std::string& client) {
    std::lock_guard guard(lock_);
    clients_.erase(client);
    if (const auto found = workers_.find(client); found != workers_.end()) retireLocked(found);
    std::erase(waiting_, client);
    reapFinishedLocked();
}

std::size_t ClientDispatcher::liveWorkerCount() const {
    std::lock_guard guard(lock_);
    return runningLocked();
}

std::size_t ClientDispatcher::runningLocked() const {
    const auto running = [](const auto& worker) {
        return worker->thread.joinable() && !worker->finished;
    };
    return static_cast<std::size_t>(
        std::count_if(workers_.begin(), workers_.end(),
                      [&](const auto& entry) { return running(entry.second); }) +
        std::count_if(retired_.begin(), retired_.end(), running));
}

bool ClientDispatcher::startLocked(Worker& worker) {
    try {
        worker.thread = std::thread([this, &worker] { work(worker); });
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void ClientDispatcher::startWaitingLocked() {
    while (!waiting_.empty() && runningLocked() < maximumWorkers_) {
        const auto found = workers_.find(waiting_.front());
        if (found != workers_.end() && !found->second->thread.joinable() &&
            !startLocked(*found->second)) {
            return;  // no thread now; the client keeps its place
        }
        waiting_.pop_front();
    }
}

void ClientDispatcher::work(Worker& worker) {
    std::unique_lock guard(lock_);
    while (true) {
        worker.wake.wait(guard, [&] { return worker.stopping || !worker.queue.empty(); });
        if (worker.stopping) break;
        Request request = std::move(worker.queue.front());
        worker.queue.pop_front();
        --queuedRequests_;
        worker.busy = true;
        guard.unlock();
        deliveringClient = worker.name;
        deliver(*worker.client, request);
        deliveringClient.clear();
        request = nullptr;  // release what the request holds before taking the lock again
        guard.lock();
        worker.busy = false;
        // An idle worker gives its thread up to a client that waits for one.
        if (worker.queue.empty() && !waiting_.empty() && !worker.stopping) {
            retireLocked(workers_.find(worker.name));
        }
    }
    worker.finished = true;
    workerFinished_.notify_all();
    startWaitingLocked();
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
    while (runningLocked() >= maximumWorkers_) {
        const auto idle = std::find_if(workers_.begin(), workers_.end(), [](const auto& entry) {
            return entry.second->thread.joinable() && !entry.second->busy &&
                   entry.second->queue.empty();
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
    queuedRequests_ -= worker->queue.size();
    worker->queue.clear();
    worker->stopping = true;
    worker->wake.notify_one();
    if (worker->thread.joinable()) retired_.push_back(std::move(worker));
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
