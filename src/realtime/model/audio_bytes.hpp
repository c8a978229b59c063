#pragma once
// The audio of a content entry, which grows by one delta after another while an answer streams in.
// It is kept in chunks that are never moved once filled, so appending costs the new bytes only,
// however long the answer already is; one contiguous copy is made only when asked for.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "realtime/model/base64.hpp"

namespace realtime {

class AudioBytes {
public:
    // Room a new chunk is given beyond the bytes that start it.
    static constexpr std::size_t kChunkBytes = std::size_t(1) << 20;

    AudioBytes() = default;
    AudioBytes(Bytes bytes);  // kept as the first chunk, without a copy
    AudioBytes(std::initializer_list<std::uint8_t> bytes) : AudioBytes(Bytes(bytes)) {}

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void append(std::span<const std::uint8_t> bytes);

    const std::vector<Bytes>& chunks() const { return chunks_; }
    Bytes contiguous() const;

    // By content, however the bytes are split into chunks.
    bool operator==(const AudioBytes& other) const;

private:
    std::vector<Bytes> chunks_;
    std::size_t size_ = 0;
};

}  // namespace realtime
