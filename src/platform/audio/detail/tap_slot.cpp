#include "platform/audio/detail/tap_slot.hpp"

namespace platform::detail {

void TapSlot::install(AudioEngine::TapBlock block) {
    std::lock_guard lock(mutex_);
    block_ = block ? std::make_shared<AudioEngine::TapBlock>(std::move(block)) : nullptr;
    changed_.notify_all();
}

void TapSlot::remove() {
    std::unique_lock lock(mutex_);
    block_.reset();
    waitForDelivery(lock);
}

void TapSlot::setActive(bool active, uint64_t order) {
    std::unique_lock lock(mutex_);
    if (order != 0) {
        if (order < order_) return;
        order_ = order;
    }
    active_ = active;
    if (!active) waitForDelivery(lock);
}

bool TapSlot::installed() const {
    std::lock_guard lock(mutex_);
    return block_ != nullptr;
}

bool TapSlot::waitInstalled(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return block_ != nullptr; });
}

bool TapSlot::deliver(std::shared_ptr<PcmBuffer> buffer) {
    std::unique_lock lock(mutex_);
    if (!active_ || !block_) return false;
    auto block = block_;
    ++delivering_;
    deliveringThread_ = std::this_thread::get_id();
    lock.unlock();
    try {
        (*block)(std::move(buffer));
    } catch (...) {
        // A tap block must not throw into the capture thread; the buffer is lost.
    }
    block.reset();
    lock.lock();
    --delivering_;
    changed_.notify_all();
    return true;
}

void TapSlot::waitForDelivery(std::unique_lock<std::mutex>& lock) {
    if (delivering_ > 0 && deliveringThread_ == std::this_thread::get_id()) return;
    changed_.wait(lock, [this] { return delivering_ == 0; });
}

}  // namespace platform::detail
