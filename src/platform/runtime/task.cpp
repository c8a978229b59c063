#include "platform/runtime/task.hpp"

#include <boost/asio/cancellation_type.hpp>

#include <time.h>

namespace platform {

ContinuousClock::time_point ContinuousClock::now() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

asio::awaitable<void> sleepFor(asio::any_io_executor timerExecutor,
                               ContinuousClock::duration duration) {
    ContinuousTimer timer(std::move(timerExecutor), duration);
    co_await timer.async_wait(asio::use_awaitable);
}

void TaskHandle::cancel() {
    if (!state_ || state_->finished.load() || state_->cancelRequested.exchange(true)) return;
    // The signal is emitted on the task's strand, never concurrently with the coroutine itself.
    asio::post(state_->strand, [state = state_] {
        if (!state->finished.load()) state->signal.emit(asio::cancellation_type::terminal);
    });
}

}  // namespace platform
