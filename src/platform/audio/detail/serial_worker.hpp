#pragma once
// One thread running posted jobs in order. Destruction runs what is queued, then joins.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace platform::detail {

class SerialWorker {
public:
    SerialWorker();
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(std::function<void()> job);
    // Waits until every job posted so far has run. Returns at once on the worker thread.
    void drain();
    bool onWorkerThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    struct Queue {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable idle;
        std::deque<std::function<void()>> jobs;
        bool busy = false;
        bool stopping = false;
    };
    static void run(const std::shared_ptr<Queue>& queue);

    std::shared_ptr<Queue> queue_;
    std::thread thread_;
};

}  // namespace platform::detail
