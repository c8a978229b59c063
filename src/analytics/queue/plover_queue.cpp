#include "analytics/queue/plover_queue.hpp"

#include <boost/asio/post.hpp>

#include <charconv>
#include <cmath>

#include "analytics/config/plover_config.hpp"
#include "analytics/util/debug_log.hpp"

namespace plover {

namespace {

// A double as its shortest text, always with a fraction: 5.0, 1.0, 2.5.
std::string decimal(double value) {
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    std::string out(text, error == std::errc() ? end : text);
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

// The point in time as "2024-03-05 07:08:09 +0000".
std::string describe(Date date) {
    std::string text = toISO8601SecondsString(date);
    text[10] = ' ';
    text.pop_back();
    return text + " +0000";
}

bool isDone(int status) {
    // An answer is final unless the service asks to come back later.
    if (status == -1) return false;
    if (status >= 300 && status < 400) return false;
    if (status >= 500 || status == 408 || status == 429) return false;
    return true;
}

// The service answered, but asked to come back later.
bool isRefusal(const std::optional<int>& status) {
    return status && (*status >= 500 || *status == 408 || *status == 429);
}

// A batch the service refuses this many times in a row is dropped rather than paused for the
// second time at the longest pause: one batch the service can never take (a "poison" batch) must
// not hold back the events behind it for ever. That is about 105 s of trying.
constexpr int maximumRefusals = 7;

}  // namespace

std::optional<PloverApiEndpoint> apiEndpointFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 1) return std::nullopt;
    return static_cast<PloverApiEndpoint>(rawValue);
}

PloverQueue::PloverQueue(std::shared_ptr<const PloverConfig> config, std::shared_ptr<const PloverApi> api,
                         PloverApiEndpoint endpoint, std::shared_ptr<Reachability> reachability,
                         std::unique_ptr<PloverFileBackedQueue> fileQueue, boost::asio::any_io_executor background,
                         boost::asio::any_io_executor main, Clock clock)
    : config_(std::move(config)),
      api_(std::move(api)),
      endpoint_(endpoint),
      reachability_(std::move(reachability)),
      fileQueue_(std::move(fileQueue)),
      dispatchQueue_(boost::asio::make_strand(std::move(background))),
      main_(std::move(main)),
      clock_(std::move(clock)) {}

std::shared_ptr<PloverQueue> PloverQueue::create(std::shared_ptr<const PloverConfig> config,
                                                 std::shared_ptr<const PloverApi> api, PloverApiEndpoint endpoint,
                                                 std::shared_ptr<Reachability> reachability,
                                                 std::unique_ptr<PloverFileBackedQueue> fileQueue,
                                                 boost::asio::any_io_executor background,
                                                 boost::asio::any_io_executor main, Clock clock) {
    return std::shared_ptr<PloverQueue>(new PloverQueue(std::move(config), std::move(api), endpoint,
                                                        std::move(reachability), std::move(fileQueue),
                                                        std::move(background), std::move(main), std::move(clock)));
}

PloverQueue::~PloverQueue() = default;

void PloverQueue::start(bool disableReachability, bool disableTimer) {
    std::weak_ptr<PloverQueue> weak = weak_from_this();
    if (!disableReachability && reachability_) {
        subscription_ = reachability_->subscribe(
            [weak](Reachability& reachability) {
                if (auto self = weak.lock()) self->reachable(reachability);
            },
            [weak](Reachability&) {
                if (auto self = weak.lock()) self->unreachable();
            });
        try {
            reachability_->beginNotifier();
        } catch (const std::exception& error) {
            ploverLog(std::string("Error: Unable to monitor network reachability: ") + error.what());
        }
    }
    if (!disableTimer) {
        std::lock_guard lock(timerLock_);
        boost::asio::post(main_, [weak] {
            auto self = weak.lock();
            if (!self) return;
            std::lock_guard lock(self->timerLock_);
            if (self->closed_) return;
            self->timer_ = std::make_unique<boost::asio::steady_timer>(self->main_);
            self->scheduleTick();
        });
    }
}

void PloverQueue::scheduleTick() {
    auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::max(config_->flushIntervalSeconds, 0.001)));
    timer_->expires_after(interval);
    std::weak_ptr<PloverQueue> weak = weak_from_this();
    timer_->async_wait([weak](boost::system::error_code error) {
        if (error) return;
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->timerLock_);
            if (self->closed_ || !self->timer_) return;
            self->scheduleTick();
        }
        if (!self->isFlushing_) self->flush();
    });
}

void PloverQueue::close() {
    subscription_.reset();
    std::lock_guard lock(timerLock_);
    closed_ = true;
    if (timer_) {
        // The timer belongs to the main executor: it is cancelled and released there.
        boost::asio::post(main_, [timer = std::shared_ptr<boost::asio::steady_timer>(std::move(timer_))] { timer->cancel(); });
    }
}

void PloverQueue::reachable(Reachability& reachability) {
    bool wifi = reachability.connection() == Reachability::Connection::wifi;
    {
        std::lock_guard lock(pausedLock_);
        if (config_->dataMode == PloverConfig::PloverDataMode::wifi && !wifi) {
            ploverLog("[Plover] Queue is paused because its not in WiFi mode");
            paused_ = true;
        } else {
            paused_ = false;
        }
    }
    if (wifi && !isFlushing_) flush();
}

void PloverQueue::unreachable() {
    std::lock_guard lock(pausedLock_);
    ploverLog("[Plover] Queue is paused because network is unreachable");
    paused_ = true;
}

bool PloverQueue::add(const PloverEvent& event) {
    // Written first, so that an event that cannot be queued costs no stored one.
    std::string data;
    try {
        data = json::serialize(event.toJSON());
    } catch (const std::exception& error) {
        ploverLog(std::string("Tried to queue unserialisable PloverEvent ") + error.what());
        return false;
    }
    std::error_code error;
    if (data.size() > PloverFileBackedQueue::maximumFileSize) {
        error = std::make_error_code(std::errc::file_too_large);
    } else {
        if (fileQueue_->depth() >= static_cast<std::size_t>(std::max(config_->maxQueueSize, 0))) {
            ploverLog("[Plover] Queue is full, dropping oldest event");
            fileQueue_->deleteAt(0);
        }
        error = fileQueue_->add(data);
    }
    if (error) {
        reportNotStored(error);
        return false;
    }
    ploverLog("Queued event '" + event.event + "'. Depth: " + std::to_string(fileQueue_->depth()));
    flushIfOverThreshold();
    return true;
}

void PloverQueue::reportNotStored(std::error_code error) {
    {
        std::lock_guard lock(reportedLock_);
        if (!reported_.insert(error.value()).second) return;
    }
    ploverWarn("[Plover] Events cannot be stored in " + fileQueue_->folder().string() + " and are lost: " +
               error.message() + ". (Said once per cause.)");
}

void PloverQueue::flushIfOverThreshold() {
    if (fileQueue_->depth() >= static_cast<std::size_t>(std::max(config_->flushAt, 0)) && canFlush()) {
        take(static_cast<std::size_t>(std::max(config_->maxBatchSize, 1)));
    }
}

void PloverQueue::flush() {
    if (canFlush()) take(static_cast<std::size_t>(std::max(config_->maxBatchSize, 1)));
}

bool PloverQueue::canFlush() {
    if (closed_) return false;
    if (isFlushing_) {
        ploverLog("[Plover] Already flushing");
        return false;
    }
    if (paused_) {
        ploverLog("[Plover] The queue is paused due to the reachability check");
        return false;
    }
    std::lock_guard lock(backOffLock_);
    if (pausedUntil_ && *pausedUntil_ > clock_()) {
        ploverLog("The queue is paused until `" + describe(*pausedUntil_) + "`");
        return false;
    }
    return true;
}

void PloverQueue::take(std::size_t count) {
    // The queue counts as flushing from the moment a batch is taken, not only once its files are
    // read on the queue's executor, so a trigger in between is one flush too many.
    {
        std::lock_guard lock(isFlushingLock_);
        if (isFlushing_) return;
        isFlushing_ = true;
    }
    auto self = shared_from_this();
    boost::asio::post(dispatchQueue_, [self, count] {
        if (self->closed_) {
            // Closed since: the files stay for the next start.
            std::lock_guard lock(self->isFlushingLock_);
            self->isFlushing_ = false;
            return;
        }
        PloverConsumerPayload payload;
        for (auto& item : self->fileQueue_->peek(count)) {
            payload.names.push_back(item.name);
            boost::system::error_code error;
            auto parsed = json::parse(item.data, error);
            if (error || !parsed.is_object()) continue;
            if (auto event = PloverEvent::fromJSON(parsed.get_object())) payload.events.push_back(std::move(*event));
        }
        std::weak_ptr<PloverQueue> weak = self;
        payload.completion = [weak, names = payload.names](bool success) {
            auto queue = weak.lock();
            if (!queue) return;
            if (success && !names.empty()) {
                queue->fileQueue_->pop(names);
                ploverLog("[Plover] Completed!");
            }
            std::lock_guard lock(queue->isFlushingLock_);
            queue->isFlushing_ = false;
        };
        self->send(std::move(payload));
    });
}

void PloverQueue::send(PloverConsumerPayload payload) {
    if (payload.events.empty()) {
        payload.completion(true);
        return;
    }
    ploverLog("Sending batch of " + std::to_string(payload.events.size()) + " events to Plover");
    auto self = shared_from_this();
    auto shared = std::make_shared<PloverConsumerPayload>(std::move(payload));
    auto events = shared->events;
    auto done = [self, shared](PloverBatchUploadInfo info) { self->handleResult(info, *shared); };
    if (endpoint_ == PloverApiEndpoint::snapshot) {
        api_->snapshot(std::move(events), done);
    } else {
        api_->batch(std::move(events), done);
    }
}

void PloverQueue::handleResult(const PloverBatchUploadInfo& info, PloverConsumerPayload& payload) {
    if (info.permanentFailure) {
        // Sending these events again can never succeed: they are dropped rather than retried forever.
        ploverLog("Dropping a batch of " + std::to_string(payload.events.size()) +
                  " events that cannot be sent.");
        payload.completion(true);
        return;
    }
    if (info.statusCode && isDone(*info.statusCode)) {
        {
            std::lock_guard lock(backOffLock_);
            retryCount_ = 0;
            refusals_ = 0;
        }
        payload.completion(true);
        return;
    }
    bool drop = false;
    if (isRefusal(info.statusCode) && !payload.names.empty()) {
        std::lock_guard lock(backOffLock_);
        // The oldest file names the batch: the same batch is taken again until it goes.
        if (refusedBatch_ != payload.names.front()) {
            refusedBatch_ = payload.names.front();
            refusals_ = 0;
        }
        if (++refusals_ >= maximumRefusals) {
            drop = true;
            refusals_ = 0;
            retryCount_ = 0;
            pausedUntil_.reset();
        }
    }
    if (drop) {
        ploverWarn("[Plover] Dropping a batch of " + std::to_string(payload.events.size()) + " events that the server refused " +
                   std::to_string(maximumRefusals) + " times in a row (last status " +
                   std::to_string(*info.statusCode) + ").");
        payload.completion(true);
        // The events behind it go at once.
        if (depth() > 0) flush();
        return;
    }
    double pause;
    double failures;
    {
        std::lock_guard lock(backOffLock_);
        retryCount_ += 1;
        failures = retryCount_;
        pause = std::min(retryCount_ * 5, 30.0);
        pausedUntil_ = clock_() + std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(pause));
    }
    ploverLog("Pausing queue consumption for " + decimal(pause) + " seconds due to " + decimal(failures) +
              " API failure(s).");
    payload.completion(false);
}

}  // namespace plover
