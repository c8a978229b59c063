#pragma once
// The shared state of a PulseAudioEngine: its connection, the microphone's record stream and the
// tap buffer being filled, its players, and the threads that run taps and completions. Players
// hold it, so it outlives the engine object while one of them is alive.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/detail/pulse_connection.hpp"
#include "platform/audio/detail/pulse_stream_util.hpp"
#include "platform/audio/detail/serial_worker.hpp"
#include "platform/audio/detail/tap_slot.hpp"
#include "platform/audio/pulse_audio_engine.hpp"

namespace platform {

namespace detail {
class PulsePlayer;
}

// Everything below the connection is guarded by the connection's lock, except the tap slot and
// the workers, which have their own.
struct PulseAudioEngine::Core : std::enable_shared_from_this<Core> {
    detail::PulseConnection connection{"Kestro"};
    bool running = false;
    bool shutDown = false;
    std::optional<AudioFormat> inputFormat;
    std::string sourceName;
    pa_stream* record = nullptr;
    uint32_t tapBufferSize = 4096;
    std::shared_ptr<PcmBuffer> capturing;  // the tap buffer being filled
    bool recordingStarts = false;          // the next tap buffer is the record stream's first
    std::vector<std::weak_ptr<detail::PulsePlayer>> players;
    detail::TapSlot tap;
    std::unique_ptr<detail::SerialWorker> capture = std::make_unique<detail::SerialWorker>();
    std::unique_ptr<detail::SerialWorker> callbacks = std::make_unique<detail::SerialWorker>();

    // Getting a lost server back (pulse_engine_reconnect.cpp): the worker tries again and again,
    // waiting longer each time, until the server is back with a microphone or `giveUpAfter` has
    // passed since the trouble began; then the failure handler hears of it. The trouble ends only
    // once the engine has worked for `giveUpAfter` again, so a server that keeps going away
    // reaches the same bound. `reconnecting` and the handler are under the connection's lock,
    // the cancel flag under its own mutex, so that a stop wakes a worker waiting between tries.
    std::chrono::milliseconds giveUpAfter{10000};
    bool reconnecting = false;
    uint64_t run = 0;  // counts the stops, so that a reconnection outlives no run of the engine
    uint64_t tapOrder = 0;  // counts starts and stops, in the order they took the lock
    std::optional<std::chrono::steady_clock::time_point> troubleSince;  // the first loss of the trouble
    std::chrono::steady_clock::time_point backSince;                    // when the engine last worked again
    int losses = 0;             // within the trouble
    bool saidBack = false;      // the line saying the engine works again was printed in this trouble
    AudioEngine::FailureHandler failureHandler;
    std::unique_ptr<detail::SerialWorker> reconnector = std::make_unique<detail::SerialWorker>();
    std::mutex reconnectMutex;
    std::condition_variable reconnectWake;
    bool reconnectCancelled = false;

    // Completions go to the callback thread; once the engine is gone, to `inline_` for the caller
    // to run after unlocking.
    void dispatch(detail::Completions done, detail::Completions& inline_) {
        if (done.empty()) return;
        if (callbacks) {
            callbacks->post([done = std::move(done)]() mutable { detail::runAll(done); });
        } else {
            for (auto& completion : done) inline_.push_back(std::move(completion));
        }
    }

    // With the connection's lock held: opens the streams of the players that are attached and
    // connected, and waits until the server has them ready or failed.
    void openPlayerStreams();
    // Stops capture and playback; the lock is taken here.
    void stop();
    // With the lock held: ends the run; returns the tap order that the caller, unlocked, applies
    // with tap.setActive(false, ...) before running `inline_`.
    uint64_t stopLocked(detail::Completions& inline_);

    // On the loop thread, with the lock held: the connection broke under a running engine.
    void onConnectionLost();
    // On the reconnect worker, without the lock.
    void reconnect();
    // With the lock held: the microphone's stream on the new connection, on the default source
    // when that is a microphone (never a monitor of a sink); false, saying why, when there is none.
    bool reopenMicrophone(std::string& error);
    // On the reconnect worker: stops the run it works for, if that is still the current one, and
    // tells the failure handler.
    void giveUp(uint64_t lostRun, const std::string& reason);
    // Waits up to `delay` unless a stop cancels the reconnection; false when it did.
    bool pauseBeforeRetry(std::chrono::milliseconds delay);
    void cancelReconnect();

    // Capture (pulse_engine_capture.cpp), with the connection's lock held.
    // The default source's format and name; with `microphoneOnly`, false when it is a monitor.
    bool readInputFormat(bool microphoneOnly = false);
    bool openRecordStream(std::string& error);
    void closeRecordStream();
    void onRead(pa_stream* stream);
    void append(const uint8_t* data, std::size_t bytes);
};

}  // namespace platform
