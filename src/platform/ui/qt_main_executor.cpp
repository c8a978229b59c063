#include "platform/ui/qt_main_executor.hpp"

#include <QCoreApplication>

namespace platform {

QtExecutionContext::QtExecutionContext() : receiver_(std::make_unique<QObject>()) {}

QtExecutionContext::~QtExecutionContext() {
    discardQueuedWork();
    receiver_.reset();
    destroy();
}

void QtExecutionContext::discardQueuedWork() {
    if (discarding_.exchange(true, std::memory_order_acq_rel)) return;
    // A strand hands Qt one function at a time and keeps the others: shutting its service down
    // drops them. Whatever a dropped function queues on its way out is dropped at once, since the
    // flag is already set.
    shutdown();
    QCoreApplication::removePostedEvents(receiver_.get());
}

bool QtExecutionContext::runningInThisThread() const noexcept {
    return receiver_ && QThread::currentThread() == receiver_->thread();
}

}  // namespace platform
