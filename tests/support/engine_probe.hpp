#pragma once
// An audio engine that passes everything to another engine (a FakeAudioEngine, or the real one)
// and keeps the player made on it, so that tests (and benchmarks) can look at what was scheduled
// for the conversation's player and how it played.

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/audio/fake_audio_engine.hpp"

namespace support {

class EngineProbe : public platform::AudioEngine {
public:
    explicit EngineProbe(std::shared_ptr<platform::AudioEngine> engine) : engine_(std::move(engine)) {}
    std::shared_ptr<platform::PlayerNode> player() const {
        std::lock_guard lock(mutex_);
        return player_;
    }

    platform::AudioFormat inputFormat() override { return engine_->inputFormat(); }
    void installTap(uint32_t bufferSize, TapBlock block) override {
        tapBufferSize = bufferSize;
        engine_->installTap(bufferSize, std::move(block));
    }
    void removeTap() override { engine_->removeTap(); }
    std::shared_ptr<platform::PlayerNode> makePlayerNode() override {
        std::lock_guard lock(mutex_);
        return player_ = engine_->makePlayerNode();
    }
    void attach(const std::shared_ptr<platform::PlayerNode>& p) override { engine_->attach(p); }
    bool isAttached(const platform::PlayerNode& p) const override { return engine_->isAttached(p); }
    void connect(const std::shared_ptr<platform::PlayerNode>& p, const platform::AudioFormat& f) override {
        engine_->connect(p, f);
    }
    void disconnectNodeInput(const platform::PlayerNode& p) override { engine_->disconnectNodeInput(p); }
    void disconnectNodeOutput(const platform::PlayerNode& p) override { engine_->disconnectNodeOutput(p); }
    void prepare() override { engine_->prepare(); }
    void start() override { engine_->start(); }
    void stop() override { engine_->stop(); }
    void reset() override { engine_->reset(); }
    bool isRunning() const override { return engine_->isRunning(); }
    void setFailureHandler(FailureHandler handler) override { engine_->setFailureHandler(std::move(handler)); }
    std::unique_ptr<platform::AudioConverter> makeConverter(const platform::AudioFormat& from,
                                                            const platform::AudioFormat& to) override {
        return engine_->makeConverter(from, to);
    }

    std::atomic<uint32_t> tapBufferSize = 0;

private:
    std::shared_ptr<platform::AudioEngine> engine_;
    mutable std::mutex mutex_;
    std::shared_ptr<platform::PlayerNode> player_;
};

}  // namespace support
