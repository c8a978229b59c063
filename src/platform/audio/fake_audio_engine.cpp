#include "platform/audio/fake_audio_engine.hpp"

#include <algorithm>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "platform/audio/detail/serial_worker.hpp"
#include "platform/audio/detail/tap_slot.hpp"

namespace platform {

namespace {
class FakePlayer;
}

struct FakeAudioEngine::Core {
    mutable std::mutex mutex;
    std::optional<AudioFormat> inputFormat;
    bool converterFails = false;
    bool startFails = false;
    bool running = false;
    AudioEngine::FailureHandler failureHandler;
    Counts counts;
    std::vector<std::pair<const FakePlayer*, std::weak_ptr<FakePlayer>>> players;
    detail::TapSlot tap;

    // Completions of dropped buffers, under their own lock so that a player can hand them over
    // while it is destroyed, whoever holds the main lock.
    std::mutex droppedMutex;
    std::vector<PlayerNode::Completion> dropped;
    void drop(PlayerNode::Completion completion) {
        std::lock_guard lock(droppedMutex);
        dropped.push_back(std::move(completion));
    }
};

namespace {

class FakePlayer final : public PlayerNode {
public:
    using Core = FakeAudioEngine::Core;
    explicit FakePlayer(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    // What is still scheduled completes as dropped.
    ~FakePlayer() override {
        for (auto& entry : queue) core_->drop(std::move(entry.done));
    }

    AudioFormat outputFormat() const override {
        std::lock_guard lock(core_->mutex);
        return format;
    }

    void scheduleBuffer(std::shared_ptr<const PcmBuffer> buffer, Completion onPlayedBack) override {
        std::lock_guard lock(core_->mutex);
        if (!buffer) throw std::invalid_argument("scheduleBuffer: no buffer");
        if (!(buffer->format() == format)) {
            throw std::invalid_argument("scheduleBuffer: buffer is " + buffer->format().description() +
                                        ", player is " + format.description());
        }
        queue.push_back({std::move(buffer), std::move(onPlayedBack), 0});
        if (ranDry) {
            ++underruns;
            ranDry = false;
        }
    }

    void play() override {
        std::lock_guard lock(core_->mutex);
        playing = true;
    }

    void pause() override {
        std::lock_guard lock(core_->mutex);
        playing = false;
    }

    void stop() override {
        std::lock_guard lock(core_->mutex);
        dropAllLocked();
    }

    bool isPlaying() const override {
        std::lock_guard lock(core_->mutex);
        return playing;
    }

    uint64_t underrunCount() const override {
        std::lock_guard lock(core_->mutex);
        return underruns;
    }

    std::optional<AudioTime> lastRenderTime() const override {
        std::lock_guard lock(core_->mutex);
        if (!connected || !core_->running) return std::nullopt;
        return AudioTime{rendered, format.sampleRate};
    }

    std::optional<AudioTime> playerTime(const AudioTime& renderTime) const override {
        std::lock_guard lock(core_->mutex);
        if (!playing) return std::nullopt;
        return AudioTime{renderTime.sampleTime - stopBase, renderTime.sampleRate};
    }

    // Everything below is guarded by the core's mutex.
    void dropAllLocked() {
        for (auto& entry : queue) core_->drop(std::move(entry.done));
        queue.clear();
        playing = false;
        ranDry = false;
        stopBase = rendered;
    }

    // Plays up to `frames` frames; completions of finished buffers go to `done`.
    uint64_t renderLocked(uint64_t frames, std::vector<Completion>& done) {
        uint64_t played = 0;
        while (!queue.empty()) {
            auto& front = queue.front();
            uint32_t length = front.buffer->frameLength();
            if (front.played < length) {
                if (played == frames) break;
                auto take = static_cast<uint32_t>(std::min<uint64_t>(frames - played, length - front.played));
                front.played += take;
                played += take;
                rendered += take;
                if (front.played < length) break;
            }
            done.push_back(std::move(front.done));
            queue.pop_front();
        }
        // The output wanted more than this playing player had.
        if (played < frames) ranDry = true;
        return played;
    }

    struct Entry {
        std::shared_ptr<const PcmBuffer> buffer;
        Completion done;
        uint32_t played;
    };

    bool attached = false;
    bool connected = false;
    bool playing = false;
    AudioFormat format = AudioFormat::float32(44100, 2);
    std::deque<Entry> queue;
    int64_t rendered = 0;
    int64_t stopBase = 0;
    bool ranDry = false;
    uint64_t underruns = 0;

private:
    std::shared_ptr<Core> core_;
};

void runAll(std::vector<PlayerNode::Completion>& completions) {
    for (auto& completion : completions) {
        if (completion) completion();
    }
    completions.clear();
}

FakePlayer* ownPlayer(const std::shared_ptr<FakeAudioEngine::Core>& core, const PlayerNode& node) {
    auto* player = dynamic_cast<FakePlayer*>(const_cast<PlayerNode*>(&node));
    if (!player) throw std::invalid_argument("FakeAudioEngine: not a player of this engine");
    for (auto& [raw, weak] : core->players) {
        if (raw == player && !weak.expired()) return player;
    }
    throw std::invalid_argument("FakeAudioEngine: not a player of this engine");
}

}  // namespace

FakeAudioEngine::FakeAudioEngine(std::optional<AudioFormat> inputFormat)
    : core_(std::make_shared<Core>()), capture_(std::make_unique<detail::SerialWorker>()) {
    core_->inputFormat = inputFormat;
}

FakeAudioEngine::~FakeAudioEngine() {
    stop();
    core_->tap.remove();
    capture_.reset();
}

void FakeAudioEngine::setInputFormat(std::optional<AudioFormat> format) {
    std::lock_guard lock(core_->mutex);
    core_->inputFormat = format;
}

void FakeAudioEngine::setConverterCreationFails(bool fails) {
    std::lock_guard lock(core_->mutex);
    core_->converterFails = fails;
}

void FakeAudioEngine::setStartFails(bool fails) {
    std::lock_guard lock(core_->mutex);
    core_->startFails = fails;
}

void FakeAudioEngine::pushInput(std::shared_ptr<PcmBuffer> buffer) {
    capture_->post([core = core_, buffer = std::move(buffer)]() mutable { core->tap.deliver(std::move(buffer)); });
}

void FakeAudioEngine::waitForInput() { capture_->drain(); }

bool FakeAudioEngine::hasTap() const { return core_->tap.installed(); }

bool FakeAudioEngine::waitForTap(std::chrono::milliseconds timeout) { return core_->tap.waitInstalled(timeout); }

uint64_t FakeAudioEngine::render(uint32_t frames) {
    runDroppedCompletions();
    std::vector<PlayerNode::Completion> done;
    std::vector<std::shared_ptr<FakePlayer>> players;  // released after unlocking
    uint64_t most = 0;
    {
        std::lock_guard lock(core_->mutex);
        if (!core_->running) return 0;
        for (auto& [raw, weak] : core_->players) {
            auto player = weak.lock();
            if (!player || !player->attached || !player->connected || !player->playing) continue;
            most = std::max(most, player->renderLocked(frames, done));
            players.push_back(std::move(player));
        }
    }
    players.clear();
    runAll(done);
    return most;
}

void FakeAudioEngine::runDroppedCompletions() {
    std::vector<PlayerNode::Completion> dropped;
    {
        std::lock_guard lock(core_->droppedMutex);
        dropped.swap(core_->dropped);
    }
    runAll(dropped);
}

FakeAudioEngine::Counts FakeAudioEngine::counts() const {
    std::lock_guard lock(core_->mutex);
    return core_->counts;
}

std::size_t FakeAudioEngine::scheduledBufferCount(const PlayerNode& node) const {
    std::lock_guard lock(core_->mutex);
    return ownPlayer(core_, node)->queue.size();
}

uint64_t FakeAudioEngine::scheduledFrames(const PlayerNode& node) const {
    std::lock_guard lock(core_->mutex);
    uint64_t frames = 0;
    for (auto& entry : ownPlayer(core_, node)->queue) frames += entry.buffer->frameLength() - entry.played;
    return frames;
}

bool FakeAudioEngine::isConnected(const PlayerNode& node) const {
    std::lock_guard lock(core_->mutex);
    return ownPlayer(core_, node)->connected;
}

AudioFormat FakeAudioEngine::inputFormat() {
    std::lock_guard lock(core_->mutex);
    if (!core_->inputFormat) throw NoInputDeviceError();
    return *core_->inputFormat;
}

void FakeAudioEngine::installTap(uint32_t /*bufferSize*/, TapBlock block) {
    {
        std::lock_guard lock(core_->mutex);
        ++core_->counts.tapInstalls;
    }
    core_->tap.install(std::move(block));
}

void FakeAudioEngine::removeTap() {
    {
        std::lock_guard lock(core_->mutex);
        ++core_->counts.tapRemovals;
    }
    core_->tap.remove();
}

std::shared_ptr<PlayerNode> FakeAudioEngine::makePlayerNode() {
    auto player = std::make_shared<FakePlayer>(core_);
    std::lock_guard lock(core_->mutex);
    std::erase_if(core_->players, [](const auto& entry) { return entry.second.expired(); });
    core_->players.emplace_back(player.get(), player);
    return player;
}

void FakeAudioEngine::attach(const std::shared_ptr<PlayerNode>& node) {
    std::lock_guard lock(core_->mutex);
    if (!node) throw std::invalid_argument("FakeAudioEngine: no player");
    ownPlayer(core_, *node)->attached = true;
    ++core_->counts.attaches;
}

bool FakeAudioEngine::isAttached(const PlayerNode& node) const {
    std::lock_guard lock(core_->mutex);
    auto* player = dynamic_cast<const FakePlayer*>(&node);
    if (!player) return false;
    for (auto& [raw, weak] : core_->players) {
        if (raw == player && !weak.expired()) return player->attached;
    }
    return false;
}

void FakeAudioEngine::connect(const std::shared_ptr<PlayerNode>& node, const AudioFormat& format) {
    std::lock_guard lock(core_->mutex);
    if (!node) throw std::invalid_argument("FakeAudioEngine: no player");
    auto* player = ownPlayer(core_, *node);
    if (!player->attached) throw std::logic_error("FakeAudioEngine: connecting a player that is not attached");
    if (!format.isValid()) throw std::invalid_argument("FakeAudioEngine: invalid format " + format.description());
    if (!(player->format == format)) player->dropAllLocked();
    player->connected = true;
    player->format = format;
    ++core_->counts.connects;
}

void FakeAudioEngine::disconnectNodeInput(const PlayerNode& node) {
    std::lock_guard lock(core_->mutex);
    ownPlayer(core_, node);
}

void FakeAudioEngine::disconnectNodeOutput(const PlayerNode& node) {
    std::lock_guard lock(core_->mutex);
    auto* player = ownPlayer(core_, node);
    player->connected = false;
    player->dropAllLocked();
    ++core_->counts.outputDisconnects;
}

void FakeAudioEngine::prepare() {
    std::lock_guard lock(core_->mutex);
    ++core_->counts.prepares;
}

void FakeAudioEngine::start() {
    {
        std::lock_guard lock(core_->mutex);
        if (core_->startFails) throw AudioEngineStartError("the test switched starting off");
        core_->running = true;
        ++core_->counts.starts;
    }
    core_->tap.setActive(true);
}

void FakeAudioEngine::stop() {
    std::vector<std::shared_ptr<FakePlayer>> players;  // released after unlocking
    {
        std::lock_guard lock(core_->mutex);
        ++core_->counts.stops;
        if (core_->running) {
            core_->running = false;
            for (auto& [raw, weak] : core_->players) {
                if (auto player = weak.lock()) {
                    player->dropAllLocked();
                    players.push_back(std::move(player));
                }
            }
        }
    }
    players.clear();
    // Outside the lock: a tap block in progress may call into the engine.
    core_->tap.setActive(false);
}

void FakeAudioEngine::reset() {
    stop();
    std::lock_guard lock(core_->mutex);
    ++core_->counts.resets;
}

bool FakeAudioEngine::isRunning() const {
    std::lock_guard lock(core_->mutex);
    return core_->running;
}

void FakeAudioEngine::setFailureHandler(FailureHandler handler) {
    std::lock_guard lock(core_->mutex);
    core_->failureHandler = std::move(handler);
}

void FakeAudioEngine::loseSoundServer(const std::string& reason) {
    stop();
    FailureHandler handler;
    {
        std::lock_guard lock(core_->mutex);
        handler = core_->failureHandler;
    }
    if (handler) handler(reason);
}

std::unique_ptr<AudioConverter> FakeAudioEngine::makeConverter(const AudioFormat& from, const AudioFormat& to) {
    {
        std::lock_guard lock(core_->mutex);
        if (core_->converterFails) throw ConverterCreationError();
    }
    auto converter = AudioConverter::make(from, to);
    std::lock_guard lock(core_->mutex);
    ++core_->counts.converters;
    return converter;
}

}  // namespace platform
