// The conversation's playback of the model's speech: scheduling each delta on the player behind a
// small playout buffer, and cutting the speech off when the user interrupts it.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "platform/runtime/print.hpp"
#include "realtime/conversation/answer_audio.hpp"
#include "realtime/conversation/audio_conversion.hpp"
#include "realtime/conversation/conversation.hpp"
#include "realtime/conversation/playback_queue.hpp"

namespace realtime {

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

// What the player holds back before it starts an answer, or resumes one after running dry: it
// plays once this long has passed since the first delta came, or once twice that is queued (an
// answer generated faster than it plays), or once the answer's audio is complete. A delta up to
// this late (less what the resampler and the sound server hold) then finds audio still playing
// instead of a gap. Once playing, every delta plays on at once.
constexpr std::chrono::milliseconds playoutLead = 130ms;

std::string describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}

// Nobody waits for the automatic truncation; a failure is only printed.
asio::awaitable<void> sendTruncation(std::shared_ptr<RealtimeAPI> client, ClientEvent event) {
    std::exception_ptr failure;
    try {
        co_await client->send(std::move(event));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) platform::print("Failed to send automatic truncation event: " + describe(failure));
}

}  // namespace

void Conversation::playAudio(const Bytes& audio, const std::string& itemId) {
    const double playerRate = playerNode_->outputFormat().sampleRate;
    const double queuedSeconds = playerRate > 0 ? static_cast<double>(queuedSamples_->pendingFrames()) / playerRate : 0;
    if (queuedSeconds + static_cast<double>(audio.size()) / static_cast<double>(wireBytesPerSecond()) >
        static_cast<double>(queuedPlaybackLimit.count())) {
        if (!std::exchange(reportedAudioDropped_, true)) {
            platform::print("The model's speech runs too far ahead of playback; some of it is not played.");
        }
        return;
    }
    auto buffer = makePcmBuffer(audio, desiredFormat());
    if (!buffer) {
        platform::print("Failed to create audio buffer.");
        return;
    }
    auto converter = apiConverter_->value();
    if (!converter) {
        try {
            converter = audioEngine_->makeConverter(buffer->format(), playerNode_->outputFormat());
        } catch (const std::exception&) {
            platform::print("Failed to create audio converter.");
            return;
        }
        apiConverter_->setValue(converter);
    }
    std::shared_ptr<const platform::PcmBuffer> converted;
    const double ratio = std::ceil(converter->outputFormat().sampleRate / buffer->format().sampleRate);
    if (auto capacity = frameCapacity(buffer->frameLength(), ratio)) converted = convertBuffer(buffer, *converter, *capacity);
    if (!converted) {
        platform::print("Failed to convert buffer.");
        return;
    }
    if (queuedSamples_->empty()) {
        // Nothing left to play: an answer starts, or the player ran dry before this delta came.
        // Hold the player until enough is queued again.
        answerAudio_->gathering = true;
        playerNode_->pause();
        holdPlayout();
    }
    auto tag = queuedSamples_->append(itemId, converted->frameLength());
    playerNode_->scheduleBuffer(converted, [queue = queuedSamples_, weak = weak_from_this(), main = main_, tag] {
        // On the player's thread: only the queue is touched here.
        if (!queue->complete(tag)) return;
        asio::post(main, [weak, queue] {
            auto conversation = weak.lock();
            // A delta may have been scheduled since; pause only a player that has nothing left.
            if (conversation && queue->empty()) conversation->playerNode_->pause();
        });
    });
    answerAudio_->lastScheduled = itemId;
    const double plenty = 2 * converted->format().sampleRate * std::chrono::duration<double>(playoutLead).count();
    if (!answerAudio_->gathering || double(queuedSamples_->frames()) >= plenty || answerAudio_->isFinished(itemId)) {
        startPlayout();
    }
}

void Conversation::holdPlayout() {
    const auto hold = ++answerAudio_->holds;
    auto timer = std::make_shared<asio::steady_timer>(main_, playoutLead);
    timer->async_wait([timer, weak = weak_from_this(), hold](boost::system::error_code) {
        auto conversation = weak.lock();
        if (!conversation) return;
        auto& audio = *conversation->answerAudio_;
        // Still the same hold: neither started nor interrupted since.
        if (audio.holds == hold && audio.gathering && !conversation->queuedSamples_->empty()) conversation->startPlayout();
    });
}

void Conversation::answerAudioFinished(const std::string& itemId) {
    answerAudio_->finished(itemId);
    if (answerAudio_->gathering && !queuedSamples_->empty()) startPlayout();
}

void Conversation::startPlayout() {
    ++answerAudio_->holds;
    answerAudio_->gathering = false;
    playerNode_->play();
}

void Conversation::truncateHeardItem() {
    auto renderTime = playerNode_->lastRenderTime();
    if (!renderTime) return;
    auto playerTime = playerNode_->playerTime(*renderTime);
    std::optional<PlaybackQueue::Head> head;
    double sampleRate = 0;
    if (playerTime) {
        head = queuedSamples_->head(playerTime->sampleTime);
        sampleRate = playerTime->sampleRate;
    } else if (answerAudio_->gathering) {
        // Held back after running dry: what was heard of the item is what played before.
        head = queuedSamples_->head(0);
        sampleRate = renderTime->sampleRate;
    }
    // What the user heard of the item being played: its frames played so far on the player's
    // clock, never more than was received of it.
    if (!head || !(sampleRate > 0)) return;
    const double ms = std::trunc(static_cast<double>(head->playedFrames) * 1000.0 / sampleRate);
    if (!std::isfinite(ms) || ms < 0 || ms >= static_cast<double>(std::numeric_limits<std::int64_t>::max())) return;
    const std::int64_t received =
        answerAudio_->receivedFrames(head->itemId) * 1000 / static_cast<std::int64_t>(desiredFormat().sampleRate);
    const auto audioEndMs = std::min(static_cast<std::int64_t>(ms), received);
    auto event = ClientEvent::truncateConversationItem(std::nullopt, head->itemId, 0, audioEndMs);
    asio::co_spawn(shared_, sendTruncation(client_, std::move(event)), asio::detached);
}

void Conversation::interruptSpeech() {
    if (isInterrupting_) return;
    isInterrupting_ = true;
    if (isPlaying_) truncateHeardItem();
    // What is still on its way of the items cut off is not played; the next item plays normally.
    for (const auto& itemId : queuedSamples_->ids()) answerAudio_->interrupted(itemId);
    const auto& last = answerAudio_->lastScheduled;
    if (!last.empty() && !answerAudio_->isFinished(last)) answerAudio_->interrupted(last);
    playerNode_->stop();
    queuedSamples_->clear();
    answerAudio_->gathering = true;
    ++answerAudio_->holds;
    isInterrupting_ = false;
}

}  // namespace realtime
