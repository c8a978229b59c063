#pragma once
// An audio engine that passes everything to a FakeAudioEngine and keeps the player made on it, so
// that tests (and benchmarks) can look at what was scheduled for the conversation's player.

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/audio/fake_audio_engine.hpp"

namespace support {

class EngineProbe : public platform::AudioEngine {
public:
    explicit EngineProbe(std::shared_ptr<platform::FakeAudioEngine> fake) : fake_(std::move(fake)) {}
    std::shared_ptr<platform::PlayerNode> player() const {
        std::lock_guard lock(mutex_);
        return player_;
    }

    platform::AudioFormat inputFormat() override { return fake_->inputFormat(); }
    void installTap(uint32_t bufferSize, TapBlock block) override {
        tapBufferSize = bufferSize;
        fake_->installTap(bufferSize, std::move(block));
    }
    void removeTap() override { fake_->removeTap(); }
    std::shared_ptr<platform::PlayerNode> makePlayerNode() override {
        std::lock_guard lock(mutex_);
        return player_ = fake_->makePlayerNode();
    }
    void attach(const std::shared_ptr<platform::PlayerNode>& p) override { fake_->attach(p); }
    bool isAttached(const platform::PlayerNode& p) const override { return fake_->isAttached(p); }
    void connect(const std::shared_ptr<platform::PlayerNode>& p, const platform::AudioFormat& f) override {
        fake_->connect(p, f);
    }
    void disconnectNodeInput(const platform::PlayerNode& p) override { fake_->disconnectNodeInput(p); }
    void disconnectNodeOutput(const platform::PlayerNode& p) override { fake_->disconnectNodeOutput(p); }
    void prepare() override { fake_->prepare(); }
    void start() override { fake_->start(); }
    void stop() override { fake_->stop(); }
    void reset() override { fake_->reset(); }
    bool isRunning() const override { return fake_->isRunning(); }
    std::unique_ptr<platform::AudioConverter> makeConverter(const platform::AudioFormat& from,
                                                            const platform::AudioFormat& to) override {
        return fake_->makeConverter(from, to);
    }

    std::atomic<uint32_t> tapBufferSize = 0;

private:
    std::shared_ptr<platform::FakeAudioEngine> fake_;
    mutable std::mutex mutex_;
    std::shared_ptr<platform::PlayerNode> player_;
};

}  // namespace support
