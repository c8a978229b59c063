#include "realtime/conversation/playback_queue.hpp"

#include <algorithm>

namespace realtime {

std::uint64_t PlaybackQueue::append(std::string itemId, std::int64_t frames) {
    std::uint64_t tag = 0;
    {
        std::lock_guard lock(mutex_);
        tag = nextTag_++;
        buffers_.push_back(Buffer{std::move(itemId), tag, frames, queuedFrames_});
        queuedFrames_ += frames;
    }
    notify();
    return tag;
}

bool PlaybackQueue::complete(std::uint64_t tag) {
    bool emptied = false;
    {
        std::lock_guard lock(mutex_);
        auto found = std::find_if(buffers_.begin(), buffers_.end(),
                                  [tag](const Buffer& buffer) { return buffer.tag == tag; });
        if (found == buffers_.end()) return false;
        // Completions come in scheduling order, so anything before this buffer has played as well.
        for (auto it = buffers_.begin(); it != std::next(found); ++it) {
            if (it->itemId == finishedItem_) {
                finishedFrames_ += it->frames;
            } else {
                finishedItem_ = it->itemId;
                finishedFrames_ = it->frames;
            }
        }
        buffers_.erase(buffers_.begin(), std::next(found));
        emptied = buffers_.empty();
    }
    notify();
    return emptied;
}

void PlaybackQueue::clear() {
    {
        std::lock_guard lock(mutex_);
        buffers_.clear();
        queuedFrames_ = 0;
        finishedItem_.clear();
        finishedFrames_ = 0;
    }
    notify();
}

bool PlaybackQueue::empty() const {
    std::lock_guard lock(mutex_);
    return buffers_.empty();
}

std::int64_t PlaybackQueue::frames() const {
    std::lock_guard lock(mutex_);
    std::int64_t frames = 0;
    for (const auto& buffer : buffers_) frames += buffer.frames;
    return frames;
}

std::int64_t PlaybackQueue::pendingFrames() const {
    std::lock_guard lock(mutex_);
    return buffers_.empty() ? 0 : queuedFrames_ - buffers_.front().start;
}

std::optional<std::string> PlaybackQueue::front() const {
    std::lock_guard lock(mutex_);
    if (buffers_.empty()) return std::nullopt;
    return buffers_.front().itemId;
}

std::vector<std::string> PlaybackQueue::ids() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    ids.reserve(buffers_.size());
    for (const auto& buffer : buffers_) ids.push_back(buffer.itemId);
    return ids;
}

std::optional<PlaybackQueue::Head> PlaybackQueue::head(std::int64_t sampleTimeNow) const {
    std::lock_guard lock(mutex_);
    if (buffers_.empty()) return std::nullopt;
    const auto& current = buffers_.front();
    auto played = std::clamp<std::int64_t>(sampleTimeNow - current.start, 0, current.frames);
    if (current.itemId == finishedItem_) played += finishedFrames_;
    return Head{current.itemId, played};
}

void PlaybackQueue::setObserver(Observer observer) {
    std::lock_guard lock(mutex_);
    observer_ = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
}

void PlaybackQueue::notify() {
    std::shared_ptr<const Observer> observer;
    {
        std::lock_guard lock(mutex_);
        observer = observer_;
    }
    if (observer) (*observer)();
}

}  // namespace realtime
