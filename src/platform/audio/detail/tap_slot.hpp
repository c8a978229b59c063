#pragma once
// The microphone tap of an engine: which block receives captured buffers, and whether capture is
// live. Clearing or deactivating waits for a delivery in progress on another thread, so that
// afterwards the block is not running.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/audio/audio_engine.hpp"

namespace platform::detail {

class TapSlot {
public:
    void install(AudioEngine::TapBlock block);
    void remove();
    // `order` (when not 0) is taken under the engine's lock with each start and stop: a change
    // older than the last one applied comes late, from a stop that a newer start overtook, and
    // is ignored.
    void setActive(bool active, uint64_t order = 0);

    bool installed() const;
    bool waitInstalled(std::chrono::milliseconds timeout) const;

    // Hands the buffer to the block when one is installed and capture is live; false otherwise.
    bool deliver(std::shared_ptr<PcmBuffer> buffer);

private:
    void waitForDelivery(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::shared_ptr<AudioEngine::TapBlock> block_;
    bool active_ = false;
    uint64_t order_ = 0;
    int delivering_ = 0;
    std::thread::id deliveringThread_;
};

}  // namespace platform::detail
