#pragma once
// Takes a FakeAudioEngine's output at the pace a sound card would: `period` of frames at a time,
// on a thread of its own, at fixed times (no drift), until stopped or destroyed.

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/audio/fake_audio_engine.hpp"

namespace support {

class RealTimeOutput {
public:
    explicit RealTimeOutput(std::shared_ptr<platform::FakeAudioEngine> engine, double sampleRate = 48000,
                            std::chrono::milliseconds period = std::chrono::milliseconds(10))
        : engine_(std::move(engine)) {
        const auto frames = static_cast<std::uint32_t>(sampleRate * std::chrono::duration<double>(period).count());
        thread_ = std::thread([this, frames, period] {
            auto next = std::chrono::steady_clock::now();
            while (!stopped_) {
                engine_->render(frames);
                next += period;
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~RealTimeOutput() { stop(); }
    RealTimeOutput(const RealTimeOutput&) = delete;
    RealTimeOutput& operator=(const RealTimeOutput&) = delete;

    void stop() {
        stopped_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::shared_ptr<platform::FakeAudioEngine> engine_;
    std::atomic<bool> stopped_ = false;
    std::thread thread_;
};

}  // namespace support
