#include "platform/audio/detail/serial_worker.hpp"

namespace platform::detail {

SerialWorker::SerialWorker() : queue_(std::make_shared<Queue>()), thread_([queue = queue_] { run(queue); }) {}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->stopping = true;
    }
    queue_->wake.notify_all();
    if (onWorkerThread()) {
        // Destroyed by one of its own jobs: the thread owns its queue and ends once the job returns.
        thread_.detach();
    } else {
        thread_.join();
    }
}

void SerialWorker::post(std::function<void()> job) {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->jobs.push_back(std::move(job));
    }
    queue_->wake.notify_one();
}

void SerialWorker::drain() {
    if (onWorkerThread()) return;
    std::unique_lock lock(queue_->mutex);
    queue_->idle.wait(lock, [this] { return queue_->jobs.empty() && !queue_->busy; });
}

void SerialWorker::run(const std::shared_ptr<Queue>& queue) {
    std::unique_lock lock(queue->mutex);
    for (;;) {
        queue->wake.wait(lock, [&] { return queue->stopping || !queue->jobs.empty(); });
        if (queue->jobs.empty()) break;  // stopping, nothing left
        auto job = std::move(queue->jobs.front());
        queue->jobs.pop_front();
        queue->busy = true;
        lock.unlock();
        try {
            job();
        } catch (...) {
            // A job must not end the thread; what it failed to do is its own affair.
        }
        job = nullptr;
        lock.lock();
        queue->busy = false;
        if (queue->jobs.empty()) queue->idle.notify_all();
    }
    queue->idle.notify_all();
}

}  // namespace platform::detail
