#include "platform/ui/qt_main_executor.hpp"

namespace platform {

QtExecutionContext::QtExecutionContext() : receiver_(std::make_unique<QObject>()) {}

QtExecutionContext::~QtExecutionContext() {
    shutdown();
    // Deleting the receiver discards the functions still queued for it.
    receiver_.reset();
    destroy();
}

bool QtExecutionContext::runningInThisThread() const noexcept {
    return receiver_ && QThread::currentThread() == receiver_->thread();
}

}  // namespace platform
