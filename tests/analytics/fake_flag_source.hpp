#pragma once
// Reachability flags a test sets by hand.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "analytics/network/reachability.hpp"

namespace analytics_test {

class FakeFlagSource : public plover::ReachabilityFlagSource {
public:
    explicit FakeFlagSource(std::shared_ptr<std::atomic<int>> starts) : starts_(std::move(starts)) {}
    std::optional<std::uint32_t> readFlags() override {
        std::lock_guard lock(mutex_);
        return flags_;
    }
    void start(Listener listener) override {
        ++*starts_;
        std::lock_guard lock(mutex_);
        listener_ = std::move(listener);
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        listener_ = nullptr;
    }
    void set(std::uint32_t flags) {
        Listener listener;
        {
            std::lock_guard lock(mutex_);
            flags_ = flags;
            listener = listener_;
        }
        if (listener) listener(flags);
    }

private:
    std::shared_ptr<std::atomic<int>> starts_;
    std::mutex mutex_;
    std::optional<std::uint32_t> flags_ = plover::Reachability::reachable;
    Listener listener_;
};

}  // namespace analytics_test
