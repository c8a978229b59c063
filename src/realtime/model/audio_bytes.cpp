#include "realtime/model/audio_bytes.hpp"

#include <algorithm>
#include <cstring>

namespace realtime {

AudioBytes::AudioBytes(Bytes bytes) : size_(bytes.size()) {
    if (!bytes.empty()) chunks_.push_back(std::move(bytes));
}

void AudioBytes::append(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < bytes.size()) {
        chunks_.emplace_back().reserve(std::max(kChunkBytes, bytes.size()));
    }
    chunks_.back().insert(chunks_.back().end(), bytes.begin(), bytes.end());
    size_ += bytes.size();
}

Bytes AudioBytes::contiguous() const {
    if (chunks_.size() == 1) return chunks_.front();
    Bytes out;
    out.reserve(size_);
    for (const auto& chunk : chunks_) out.insert(out.end(), chunk.begin(), chunk.end());
    return out;
}

bool AudioBytes::operator==(const AudioBytes& other) const {
    if (size_ != other.size_) return false;
    // Walk both chunk lists side by side.
    std::size_t a = 0, b = 0, atA = 0, atB = 0;
    while (a < chunks_.size() && b < other.chunks_.size()) {
        const auto& left = chunks_[a];
        const auto& right = other.chunks_[b];
        const std::size_t n = std::min(left.size() - atA, right.size() - atB);
        if (std::memcmp(left.data() + atA, right.data() + atB, n) != 0) return false;
        atA += n;
        atB += n;
        if (atA == left.size()) ++a, atA = 0;
        if (atB == right.size()) ++b, atB = 0;
    }
    return true;
}

}  // namespace realtime
