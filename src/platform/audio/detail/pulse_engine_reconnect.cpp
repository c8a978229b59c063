#include <algorithm>
#include <cstdio>
#include <iostream>
#include <utility>

#include "platform/audio/detail/pulse_engine_core.hpp"
#include "platform/audio/detail/pulse_player.hpp"

namespace platform {

using detail::Completions;
using detail::PulseConnection;
using detail::runAll;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds firstRetry{100};
constexpr milliseconds longestRetry{1000};
// How often a server that is back is asked for a microphone.
constexpr milliseconds microphonePoll{50};
// A server that accepts the connection but does not answer gets this long, at most.
constexpr milliseconds longestAnswer{2000};

std::string seconds(Clock::duration elapsed) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(elapsed).count());
    return text;
}

// One whole line, so that lines of other threads do not cut into it.
void printError(const std::string& line) { std::cerr << (line + "\n") << std::flush; }

}  // namespace

void PulseAudioEngine::Core::onConnectionLost() {
    // A stopped engine has no streams, and its next start connects anew.
    if (!running || shutDown) return;
    // The streams went with the connection. What the players had scheduled completes now, and
    // what they are given until the streams are back completes at once, unplayed.
    closeRecordStream();
    for (auto& weak : players) {
        if (auto player = weak.lock()) {
            Completions inline_;
            dispatch(player->dropAll(), inline_);
            player->closeStreamLocked();
            player->streamFailed = true;
            player->ranDry = false;
        }
    }
    const auto now = Clock::now();
    if (!reconnecting && (!troubleSince || now - backSince >= giveUpAfter)) {
        // Worked long enough since the last trouble: this is a new one, with a bound of its own.
        troubleSince = now;
        losses = 0;
        saidBack = false;
    }
    ++losses;
    if (reconnecting) return;  // lost again while reopening: the worker tries once more
    reconnecting = true;
    reconnector->post([this] { reconnect(); });
}

bool PulseAudioEngine::Core::reopenMicrophone(std::string& error) {
    // The microphone keeps the format the tap and its converter were made for; the server
    // converts from whatever the (possibly new) default source delivers. A monitor is not a
    // microphone: on it the call would hear its own answers.
    const auto format = inputFormat;
    if (!format) return true;  // it ran without a microphone
    const bool haveSource = readInputFormat(true);
    if (format) inputFormat = format;
    if (!haveSource) {
        error = "the sound server has no microphone yet";
        return false;
    }
    if (!openRecordStream(error)) return false;
    capturing.reset();
    return true;
}

void PulseAudioEngine::Core::reconnect() {
    uint64_t lostRun = 0;
    Clock::time_point lostAt;
    {
        PulseConnection::Lock lock(connection);
        if (!reconnecting || !troubleSince) return;
        lostRun = run;
        lostAt = *troubleSince;
    }
    auto delay = firstRetry;
    std::string error;
    bool serverBack = false;  // on the connection made last; its players' streams are open
    for (;;) {
        bool waitingForMicrophone = false;
        {
            PulseConnection::Lock lock(connection);
            if (!running || shutDown || run != lostRun) return;
            // Checked before a try: a server that is back each time but keeps going away is not
            // given one bound after the other.
            if (Clock::now() - lostAt >= giveUpAfter) break;
            if (!serverBack || !connection.ready()) {
                serverBack = false;
                const auto left = giveUpAfter - std::chrono::duration_cast<milliseconds>(Clock::now() - lostAt);
                const auto answerWithin = std::clamp(left, milliseconds(200), longestAnswer);
                error.clear();
                if (connection.connect(error, pa_usec_t(answerWithin.count()) * PA_USEC_PER_MSEC)) {
                    if (!running || shutDown || run != lostRun) return;
                    // The speaker first: it works while the microphone is still on its way.
                    openPlayerStreams();
                    serverBack = connection.ready();
                }
            }
            // Lost again while the streams opened: the next try starts over.
            if (serverBack && reopenMicrophone(error) && connection.ready()) {
                reconnecting = false;
                backSince = Clock::now();
                if (!std::exchange(saidBack, true)) {
                    printError("kestro: lost the connection to the sound server and made it again after " +
                               seconds(backSince - lostAt) + "; the microphone and the speaker work again");
                }
                return;
            }
            waitingForMicrophone = serverBack && connection.ready();
        }
        const auto elapsed = Clock::now() - lostAt;
        if (elapsed >= giveUpAfter) break;
        const auto left = std::chrono::duration_cast<milliseconds>(giveUpAfter - elapsed);
        // A microphone is looked for often: the capture moves to it as soon as it is there.
        if (!pauseBeforeRetry(std::min(waitingForMicrophone ? microphonePoll : delay, left))) return;
        if (!waitingForMicrophone) delay = std::min(delay * 2, longestRetry);
    }

    std::string reason;
    int lost = 0;
    {
        PulseConnection::Lock lock(connection);
        lost = losses;
        serverBack = serverBack && connection.ready();
    }
    if (lost > 1) {
        reason = "the sound server went away " + std::to_string(lost) + " times in " +
                 seconds(Clock::now() - lostAt) + " and did not stay";
    } else if (serverBack) {
        reason = "the sound server came back without a microphone, and none came within " + seconds(giveUpAfter);
    } else {
        reason = "the sound server did not come back within " + seconds(giveUpAfter) +
                 (error.empty() ? std::string() : " (" + error + ")");
    }
    giveUp(lostRun, reason);
}

void PulseAudioEngine::Core::giveUp(uint64_t lostRun, const std::string& reason) {
    FailureHandler handler;
    Completions inline_;
    uint64_t order = 0;
    {
        // The check and the stop under one hold of the lock: a stop and a start in between
        // would make a newer run, which this worker must leave alone.
        PulseConnection::Lock lock(connection);
        if (!running || shutDown || run != lostRun) return;
        handler = failureHandler;
        order = stopLocked(inline_);
    }
    printError("kestro: " + reason + "; the microphone and the speaker are gone");
    tap.setActive(false, order);
    runAll(inline_);
    if (handler) handler(reason);
}

bool PulseAudioEngine::Core::pauseBeforeRetry(milliseconds delay) {
    std::unique_lock lock(reconnectMutex);
    reconnectWake.wait_for(lock, delay, [this] { return reconnectCancelled; });
    return !reconnectCancelled;
}

void PulseAudioEngine::Core::cancelReconnect() {
    std::lock_guard lock(reconnectMutex);
    reconnectCancelled = true;
    reconnectWake.notify_all();
}

}  // namespace platform
