#include "analytics/util/time_based_epoch_generator.hpp"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace plover {

namespace {

bool kernelRandom(std::span<std::uint8_t> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        ssize_t got = ::getrandom(out.data() + filled, out.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

// Milliseconds since 1970; a clock set before 1970 has no place in the 48-bit field and reads as 0.
std::uint64_t millisecondsSinceEpoch(std::chrono::system_clock::time_point now) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

}  // namespace

TimeBasedEpochGenerator::TimeBasedEpochGenerator()
    : TimeBasedEpochGenerator([] { return std::chrono::system_clock::now(); }, kernelRandom) {}

TimeBasedEpochGenerator::TimeBasedEpochGenerator(Clock clock, RandomSource random)
    : clock_(std::move(clock)), random_(std::move(random)) {}

TimeBasedEpochGenerator& TimeBasedEpochGenerator::shared() {
    static TimeBasedEpochGenerator generator;
    return generator;
}

Uuid TimeBasedEpochGenerator::v7() { return shared().next(); }

Uuid TimeBasedEpochGenerator::next() {
    std::lock_guard guard(lock_);
    std::uint64_t ms = millisecondsSinceEpoch(clock_());
    if (lastTimestamp_ == ms) {
        for (std::size_t i = lastEntropy_.size(); i-- > 0;) {
            if (++lastEntropy_[i] != 0) break;
        }
    } else {
        lastTimestamp_ = ms;
        if (!random_(lastEntropy_)) {
            std::random_device device;
            for (auto& byte : lastEntropy_) byte = static_cast<std::uint8_t>(device() & 0xFF);
        }
    }
    Uuid uuid;
    for (int i = 0; i < 6; ++i) uuid.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(ms >> (8 * (5 - i)));
    for (std::size_t i = 0; i < lastEntropy_.size(); ++i) uuid.bytes[6 + i] = lastEntropy_[i];
    uuid.bytes[6] = static_cast<std::uint8_t>((uuid.bytes[6] & 0x0F) | 0x70);
    uuid.bytes[8] = static_cast<std::uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);
    return uuid;
}

}  // namespace plover
