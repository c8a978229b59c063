#include "platform/audio/pulse_audio_engine.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "platform/audio/detail/pulse_engine_core.hpp"
#include "platform/audio/detail/pulse_player.hpp"

namespace platform {

using detail::Completions;
using detail::ownPlayer;
using detail::PulseConnection;
using detail::PulsePlayer;
using detail::representable;
using detail::runAll;

PulseAudioEngine::PulseAudioEngine() : core_(std::make_shared<Core>()) {
    PulseConnection::Lock lock(core_->connection);
    core_->connection.setLostHandler([core = core_.get()] { core->onConnectionLost(); });
}

PulseAudioEngine::~PulseAudioEngine() {
    stop();
    core_->tap.remove();
    {
        PulseConnection::Lock lock(core_->connection);
        core_->shutDown = true;
    }
    // Nothing reconnects once the engine is going: end the worker before the connection.
    core_->cancelReconnect();
    core_->reconnector.reset();
    core_->connection.shutDown();
    // Run what is queued (late completions included), then end both threads.
    core_->capture.reset();
    std::unique_ptr<detail::SerialWorker> callbacks;
    {
        PulseConnection::Lock lock(core_->connection);
        callbacks = std::move(core_->callbacks);
    }
    callbacks.reset();
}

AudioFormat PulseAudioEngine::inputFormat() {
    PulseConnection::Lock lock(core_->connection);
    if (core_->inputFormat) return *core_->inputFormat;
    std::string error;
    if (core_->shutDown || !core_->connection.connect(error) || !core_->readInputFormat()) throw NoInputDeviceError();
    return *core_->inputFormat;
}

void PulseAudioEngine::installTap(uint32_t bufferSize, TapBlock block) {
    PulseConnection::Lock lock(core_->connection);
    core_->tapBufferSize = std::max<uint32_t>(bufferSize, 1);
    core_->capturing.reset();
    core_->tap.install(std::move(block));
}

void PulseAudioEngine::removeTap() {
    core_->tap.remove();
    PulseConnection::Lock lock(core_->connection);
    core_->capturing.reset();
}

std::shared_ptr<PlayerNode> PulseAudioEngine::makePlayerNode() {
    auto player = std::make_shared<PulsePlayer>(core_);
    PulseConnection::Lock lock(core_->connection);
    std::erase_if(core_->players, [](const auto& weak) { return weak.expired(); });
    core_->players.push_back(player);
    return player;
}

void PulseAudioEngine::attach(const std::shared_ptr<PlayerNode>& node) {
    PulseConnection::Lock lock(core_->connection);
    if (!node) throw std::invalid_argument("PulseAudioEngine: no player");
    ownPlayer(*core_, *node)->attached = true;
}

bool PulseAudioEngine::isAttached(const PlayerNode& node) const {
    PulseConnection::Lock lock(core_->connection);
    auto* player = dynamic_cast<const PulsePlayer*>(&node);
    if (!player) return false;
    for (auto& weak : core_->players) {
        if (weak.lock().get() == player) return player->attached;
    }
    return false;
}

void PulseAudioEngine::connect(const std::shared_ptr<PlayerNode>& node, const AudioFormat& format) {
    Completions inline_;
    {
        PulseConnection::Lock lock(core_->connection);
        if (!node) throw std::invalid_argument("PulseAudioEngine: no player");
        auto* player = ownPlayer(*core_, *node);
        if (!player->attached) throw std::logic_error("PulseAudioEngine: connecting a player that is not attached");
        if (!representable(format)) throw std::invalid_argument("PulseAudioEngine: cannot play " + format.description());
        if (!player->connected || !(player->format == format)) {
            player->detachFromOutput(inline_);
            player->format = format;
            player->connected = true;
            if (core_->running) player->openStream();
        }
    }
    runAll(inline_);
}

void PulseAudioEngine::disconnectNodeInput(const PlayerNode& node) {
    PulseConnection::Lock lock(core_->connection);
    ownPlayer(*core_, node);
}

void PulseAudioEngine::disconnectNodeOutput(const PlayerNode& node) {
    Completions inline_;
    {
        PulseConnection::Lock lock(core_->connection);
        auto* player = ownPlayer(*core_, node);
        player->detachFromOutput(inline_);
        player->connected = false;
    }
    runAll(inline_);
}

void PulseAudioEngine::prepare() {}

void PulseAudioEngine::start() {
    uint64_t order = 0;
    {
        PulseConnection::Lock lock(core_->connection);
        if (core_->running) return;
        std::string error;
        if (core_->shutDown) throw AudioEngineStartError("the engine is shut down");
        if (!core_->connection.connect(error)) throw AudioEngineStartError(error);
        if (core_->inputFormat || core_->readInputFormat()) {
            if (!core_->openRecordStream(error)) throw AudioEngineStartError(error);
        }
        {
            // Before the engine counts as running: a loss from now on is worked on.
            std::lock_guard cancel(core_->reconnectMutex);
            core_->reconnectCancelled = false;
        }
        core_->running = true;
        order = ++core_->tapOrder;
        core_->openPlayerStreams();
    }
    core_->tap.setActive(true, order);
}

void PulseAudioEngine::stop() { core_->stop(); }

void PulseAudioEngine::Core::openPlayerStreams() {
    std::vector<std::shared_ptr<PulsePlayer>> opened;
    for (auto& weak : players) {
        auto player = weak.lock();
        if (player && player->attached && player->connected && player->openStream()) opened.push_back(player);
    }
    for (auto& player : opened) {
        while (player->streamState() == PA_STREAM_CREATING && connection.ready()) connection.wait();
    }
}

void PulseAudioEngine::Core::stop() {
    cancelReconnect();
    Completions inline_;
    uint64_t order = 0;
    {
        PulseConnection::Lock lock(connection);
        order = stopLocked(inline_);
    }
    // Unlocked: a tap block still running may call into the engine.
    tap.setActive(false, order);
    runAll(inline_);
}

uint64_t PulseAudioEngine::Core::stopLocked(Completions& inline_) {
    running = false;
    reconnecting = false;
    troubleSince.reset();
    ++run;
    closeRecordStream();
    for (auto& weak : players) {
        if (auto player = weak.lock()) player->detachFromOutput(inline_);
    }
    connection.signal();  // a wait for a player's position finds its stream gone
    return ++tapOrder;
}

void PulseAudioEngine::reset() {
    stop();
    PulseConnection::Lock lock(core_->connection);
    core_->inputFormat.reset();
    core_->sourceName.clear();
}

bool PulseAudioEngine::isRunning() const {
    PulseConnection::Lock lock(core_->connection);
    return core_->running;
}

void PulseAudioEngine::setFailureHandler(FailureHandler handler) {
    PulseConnection::Lock lock(core_->connection);
    core_->failureHandler = std::move(handler);
}

std::unique_ptr<AudioConverter> PulseAudioEngine::makeConverter(const AudioFormat& from, const AudioFormat& to) {
    return AudioConverter::make(from, to);
}

}  // namespace platform
