#pragma once
// Moves captured events from disk to the service in batches: when the queue reaches `flushAt`,
// on a repeating timer, when the network becomes usable and on request. Sending stops while the
// network is unusable (or off Wi-Fi in the Wi-Fi-only mode), and after a failed upload for a pause
// that grows 5 s per consecutive failure up to 30 s. One batch is under way at a time. A batch the
// service keeps refusing (5xx, 408, 429) is dropped after its seventh refusal in a row.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "analytics/event/plover_event.hpp"
#include "analytics/network/plover_api.hpp"
#include "analytics/network/reachability.hpp"
#include "analytics/queue/plover_file_backed_queue.hpp"

namespace plover {

class PloverConfig;

enum class PloverApiEndpoint : int { batch = 0, snapshot = 1 };
std::optional<PloverApiEndpoint> apiEndpointFromRawValue(int rawValue);

// One batch taken from disk: its events, the names of the files read, and what to call once the
// upload has been dealt with (true: forget those files).
struct PloverConsumerPayload {
    std::vector<PloverEvent> events;
    std::vector<std::string> names;
    std::function<void(bool)> completion;
};

class PloverQueue : public std::enable_shared_from_this<PloverQueue> {
public:
    using Clock = std::function<Date()>;

    // Batches are taken on a strand of `background`; the flush timer runs on `main`.
    static std::shared_ptr<PloverQueue> create(std::shared_ptr<const PloverConfig> config,
                                               std::shared_ptr<const PloverApi> api, PloverApiEndpoint endpoint,
                                               std::shared_ptr<Reachability> reachability,
                                               std::unique_ptr<PloverFileBackedQueue> fileQueue,
                                               boost::asio::any_io_executor background,
                                               boost::asio::any_io_executor main,
                                               Clock clock = [] { return std::chrono::system_clock::now(); });
    ~PloverQueue();

    void start(bool disableReachability, bool disableTimer);
    // Stops the timer and the reachability updates; a queue closed before its timer was made
    // never makes one. No batch is taken any more (one taken but not yet read stays on disk);
    // uploads under way still finish.
    void close();

    // False when the event could not be stored (it is then lost); each cause of such a loss is
    // written once, whether debug logging is on or not.
    bool add(const PloverEvent& event);
    void flush();
    void flushIfOverThreshold();
    bool canFlush();
    std::size_t depth() const { return fileQueue_->depth(); }
    bool isPaused() const { return paused_; }
    bool isFlushing() const { return isFlushing_; }

private:
    PloverQueue(std::shared_ptr<const PloverConfig> config, std::shared_ptr<const PloverApi> api,
                PloverApiEndpoint endpoint, std::shared_ptr<Reachability> reachability,
                std::unique_ptr<PloverFileBackedQueue> fileQueue, boost::asio::any_io_executor background,
                boost::asio::any_io_executor main, Clock clock);
    void take(std::size_t count);
    void send(PloverConsumerPayload payload);
    void handleResult(const PloverBatchUploadInfo& info, PloverConsumerPayload& payload);
    void reachable(Reachability& reachability);
    void unreachable();
    void scheduleTick();
    void reportNotStored(std::error_code error);

    std::shared_ptr<const PloverConfig> config_;
    std::shared_ptr<const PloverApi> api_;
    PloverApiEndpoint endpoint_;
    std::shared_ptr<Reachability> reachability_;
    std::unique_ptr<PloverFileBackedQueue> fileQueue_;
    boost::asio::strand<boost::asio::any_io_executor> dispatchQueue_;
    boost::asio::any_io_executor main_;
    Clock clock_;

    std::atomic<bool> paused_{false};
    std::mutex pausedLock_;
    std::atomic<bool> isFlushing_{false};
    std::mutex isFlushingLock_;
    std::mutex backOffLock_;
    std::optional<Date> pausedUntil_;
    double retryCount_ = 0;
    std::string refusedBatch_;  // under backOffLock_: the first file of the batch last refused
    int refusals_ = 0;          // under backOffLock_: how often in a row the service refused it
    std::mutex timerLock_;
    std::unique_ptr<boost::asio::steady_timer> timer_;  // touched on the main executor only
    std::atomic<bool> closed_{false};                   // set under timerLock_
    Reachability::Subscription subscription_;
    std::mutex reportedLock_;
    std::set<int> reported_;  // under reportedLock_: the causes of lost events written so far
};

}  // namespace plover
