// The player's view of the server's read position. It is a round trip to the server, so it is
// asked for only while something depends on it: until the stream's write position is known,
// while the position may still move after a pause, and while playing with a buffer fully
// written, once that buffer should have been read. lastRenderTime() asks for it afresh when the
// last one is older than a few milliseconds: it is the server's own, never ahead of what it read.

#include "platform/audio/detail/pulse_player.hpp"

#include <algorithm>

namespace platform::detail {

bool PulsePlayer::wantsPosition() const {
    if (!streamReady()) return false;
    if (!synced || settling) return true;
    return playing && !queue.empty() && queue.front().end >= 0;
}

// On the loop thread: notes when the position is next wanted and arms the timer for it, or
// disarms it. While playing, the server's requests for audio come every playbackRequest and the
// poll goes out with the first one after it is due (writeSome()); the timer, set a request's time
// later, serves once they have stopped, at the end of what was written.
void PulsePlayer::schedulePoll() {
    if (!timer || timing) return;  // a reply is on its way; it schedules the next poll
    pa_usec_t due = PA_USEC_INVALID;
    pa_usec_t alarm = PA_USEC_INVALID;
    if (wantsPosition()) {
        due = alarm = pa_rtclock_now() + pollInterval;
        // A read position that stood still while playing is watched every pollInterval: the
        // server may have stopped short of the end (onTiming() counts the polls).
        if (synced && !settling && stillPolls == 0) {
            if (queue.front().end > lastRead) {
                const auto spec = specOf(format);
                due = std::max(due, lastPoll + pa_bytes_to_usec(uint64_t(queue.front().end - lastRead), &spec));
            }
            alarm = due + playbackRequest;
        }
    }
    pa_context_rttime_restart(core_->connection.context(), timer, alarm);
    pollArmed = alarm != PA_USEC_INVALID;
    pollDue = due;
}

// From any thread. Timers are armed on the loop thread only: elsewhere the position is asked for
// at once when no poll is set, and the reply sets the next.
void PulsePlayer::askForPosition() {
    if (core_->connection.onLoopThread()) {
        schedulePoll();
    } else if (!pollArmed && wantsPosition()) {
        requestTiming();
    }
}

void PulsePlayer::refreshPosition() {
    if (core_->connection.onLoopThread() || !playing || !synced || !streamReady()) return;
    const pa_usec_t now = pa_rtclock_now();
    if (lastPoll != 0 && now - lastPoll < freshWithin) return;
    const auto before = positions;
    requestTiming();  // or the reply on its way already
    if (!timing) return;
    const pa_usec_t deadline = now + answerWithin;
    pa_time_event* wake = pa_context_rttime_new(
        core_->connection.context(), deadline,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
            static_cast<PulseConnection*>(user)->signal();
        },
        &core_->connection);
    while (positions == before && stream && core_->connection.ready() && pa_rtclock_now() < deadline) {
        core_->connection.wait();
    }
    if (wake) core_->connection.api()->time_free(wake);
}

}  // namespace platform::detail
