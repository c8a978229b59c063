#include <algorithm>
#include <cstdio>
#include <iostream>

#include "platform/audio/detail/pulse_engine_core.hpp"
#include "platform/audio/detail/pulse_player.hpp"

namespace platform {

using detail::Completions;
using detail::PulseConnection;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds firstRetry{100};
constexpr milliseconds longestRetry{1000};
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
    if (reconnecting) return;  // lost again while reopening: the worker tries once more
    reconnecting = true;
    reconnector->post([this] { reconnect(); });
}

bool PulseAudioEngine::Core::reopenStreams(std::string& error) {
    // The microphone keeps the format the tap and its converter were made for; the server
    // converts from whatever the (possibly new) default source delivers.
    const auto format = inputFormat;
    const bool haveSource = readInputFormat();
    if (format) inputFormat = format;
    if (!haveSource) {
        error = "the sound server has no microphone yet";
        return false;
    }
    if (!openRecordStream(error)) return false;
    capturing.reset();
    openPlayerStreams();
    return true;
}

void PulseAudioEngine::Core::reconnect() {
    const auto lostAt = Clock::now();
    uint64_t lostRun = 0;
    {
        PulseConnection::Lock lock(connection);
        if (!reconnecting) return;
        lostRun = run;
    }
    auto delay = firstRetry;
    std::string error;
    for (;;) {
        {
            PulseConnection::Lock lock(connection);
            if (!running || shutDown || run != lostRun) return;
            const auto left = giveUpAfter - std::chrono::duration_cast<milliseconds>(Clock::now() - lostAt);
            const auto answerWithin = std::clamp(left, milliseconds(200), longestAnswer);
            error.clear();
            if (connection.connect(error, pa_usec_t(answerWithin.count()) * PA_USEC_PER_MSEC)) {
                if (!running || shutDown || run != lostRun) return;
                // Lost again while the streams opened: the next try starts over.
                if (reopenStreams(error) && connection.ready()) {
                    reconnecting = false;
                    printError("kestro: lost the connection to the sound server and made it again after " +
                               seconds(Clock::now() - lostAt) + "; the microphone and the speaker work again");
                    return;
                }
            }
        }
        const auto elapsed = Clock::now() - lostAt;
        if (elapsed >= giveUpAfter) break;
        const auto left = std::chrono::duration_cast<milliseconds>(giveUpAfter - elapsed);
        if (!pauseBeforeRetry(std::min(delay, left))) return;
        delay = std::min(delay * 2, longestRetry);
    }

    FailureHandler handler;
    {
        PulseConnection::Lock lock(connection);
        if (!running || shutDown || run != lostRun) return;
        handler = failureHandler;
    }
    const std::string reason = "the sound server did not come back within " + seconds(giveUpAfter) +
                               (error.empty() ? std::string() : " (" + error + ")");
    printError("kestro: " + reason + "; the microphone and the speaker are gone");
    stop();
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
