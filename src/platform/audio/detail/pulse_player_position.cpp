// The player's view of the server's read position. It is a round trip to the server, so it is
// asked for only while something depends on it: until the stream's write position is known,
// while the position may still move after a pause, and while playing with a buffer fully
// written, once that buffer should have been read. In between, lastRenderTime() counts on at the
// stream's rate.

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

int64_t PulsePlayer::framesSincePoll() const {
    if (!playing || !synced || !streamReady() || lastPoll == 0) return 0;
    const int64_t frameBytes = format.bytesPerSample() * format.channelCount;
    const int64_t unread = (writeIndex - lastRead) / frameBytes - creditedTail;
    // Counted from the last position, or from the resume when it came while paused.
    const pa_usec_t since = std::max(lastPoll, resumedAt);
    const pa_usec_t now = pa_rtclock_now();
    const auto elapsed = now > since ? int64_t(double(now - since) * format.sampleRate / PA_USEC_PER_SEC) : 0;
    return std::clamp<int64_t>(elapsed, 0, std::max<int64_t>(unread, 0));
}

}  // namespace platform::detail
