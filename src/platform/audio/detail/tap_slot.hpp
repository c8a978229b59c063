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
    void setActive(bool active);

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
    int delivering_ = 0;
    std::thread::id deliveringThread_;
};

}  // namespace platform::detail
