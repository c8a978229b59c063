#pragma once
// The main executor of the tray application: work handed to it runs in Qt's event loop, on the
// thread that made the context, so that coroutines and posts from other threads land on the
// Qt thread. Usable wherever an asio::any_io_executor is expected.

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <atomic>
#include <boost/asio/execution.hpp>
#include <boost/asio/execution_context.hpp>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/runtime/print.hpp"

#if defined(__SANITIZE_THREAD__)
#define KESTRO_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTRO_THREAD_SANITIZER 1
#endif
#endif
#if defined(KESTRO_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>
#endif

namespace platform {

class QtMainExecutor;

// Create and destroy on the Qt thread, after the QCoreApplication. Functions still queued when it
// is destroyed are dropped without running.
class QtExecutionContext : public boost::asio::execution_context {
public:
    using executor_type = QtMainExecutor;

    QtExecutionContext();
    ~QtExecutionContext();
    QtExecutionContext(const QtExecutionContext&) = delete;
    QtExecutionContext& operator=(const QtExecutionContext&) = delete;

    executor_type get_executor() noexcept;

    // True on the thread whose event loop runs the functions.
    bool runningInThisThread() const noexcept;
    QObject* receiver() const noexcept { return receiver_.get(); }

    // Drops every function still queued, those waiting for their turn in a strand over this
    // context included, without running them; from then on a function handed to the context is
    // dropped at once. For the end of the program, while what those functions hold (a coroutine's
    // timer on another context, say) still exists. Call on the Qt thread; the destructor does it
    // too.
    void discardQueuedWork();
    bool discarding() const noexcept { return discarding_.load(std::memory_order_acquire); }

private:
    std::unique_ptr<QObject> receiver_;
    std::atomic<bool> discarding_{false};
};

class QtMainExecutor {
public:
    explicit QtMainExecutor(QtExecutionContext& context) noexcept : context_(&context) {}

    QtExecutionContext& query(boost::asio::execution::context_t) const noexcept { return *context_; }
    boost::asio::execution::blocking_t query(boost::asio::execution::blocking_t) const noexcept {
        return never_ ? boost::asio::execution::blocking_t(boost::asio::execution::blocking.never)
                      : boost::asio::execution::blocking_t(boost::asio::execution::blocking.possibly);
    }
    static constexpr boost::asio::execution::relationship_t query(boost::asio::execution::relationship_t) noexcept {
        return boost::asio::execution::relationship.fork;
    }
    static constexpr boost::asio::execution::outstanding_work_t query(
        boost::asio::execution::outstanding_work_t) noexcept {
        return boost::asio::execution::outstanding_work.untracked;
    }
    template <class OtherAllocator>
    std::allocator<void> query(boost::asio::execution::allocator_t<OtherAllocator>) const noexcept {
        return {};
    }

    // blocking.never always queues; blocking.possibly (the default) runs at once when already on
    // the Qt thread.
    QtMainExecutor require(boost::asio::execution::blocking_t::never_t) const noexcept {
        auto copy = *this;
        copy.never_ = true;
        return copy;
    }
    QtMainExecutor require(boost::asio::execution::blocking_t::possibly_t) const noexcept {
        auto copy = *this;
        copy.never_ = false;
        return copy;
    }

    template <class Function>
    void execute(Function&& function) const {
        if (context_->discarding()) {
            [[maybe_unused]] std::decay_t<Function> dropped(std::forward<Function>(function));
            return;
        }
        if (!never_ && context_->runningInThisThread()) {
            std::decay_t<Function> local(std::forward<Function>(function));
            runGuarded(local);
            return;
        }
        QMetaObject::invokeMethod(
            context_->receiver(),
            [fn = std::decay_t<Function>(std::forward<Function>(function)), handOff = QueueHandOff()]() mutable {
                QueueHandOff::taken();
                runGuarded(fn);
                QueueHandOff::done();
            },
            Qt::QueuedConnection);
    }

    bool running_in_this_thread() const noexcept { return context_->runningInThisThread(); }

    friend bool operator==(const QtMainExecutor& a, const QtMainExecutor& b) noexcept {
        return a.context_ == b.context_ && a.never_ == b.never_;
    }
    friend bool operator!=(const QtMainExecutor& a, const QtMainExecutor& b) noexcept { return !(a == b); }

private:
    // Qt's event queue and the reference count of a queued function are guarded by locks and
    // atomics ThreadSanitizer cannot see (Qt's mutexes wait on futexes directly), so the hand-over
    // is told to the sanitizer: the last capture of a queued function publishes everything written
    // before it (the function included) as Qt moves it into the queue; the function's run starts
    // by taking that over and publishes its own writes for whichever thread drops the function.
#if defined(KESTRO_THREAD_SANITIZER)
    static void* queueToken() noexcept {
        static char token;
        return &token;
    }
    struct QueueHandOff {
        QueueHandOff() = default;
        QueueHandOff(QueueHandOff&&) noexcept { __tsan_release(queueToken()); }
        QueueHandOff& operator=(QueueHandOff&&) = delete;
        ~QueueHandOff() { __tsan_acquire(queueToken()); }
        static void taken() noexcept { __tsan_acquire(queueToken()); }
        static void done() noexcept { __tsan_release(queueToken()); }
    };
#else
    struct QueueHandOff {
        static void taken() noexcept {}
        static void done() noexcept {}
    };
#endif

    // An exception must not unwind through Qt's event loop; it is reported and the loop goes on.
    template <class Fn>
    static void runGuarded(Fn& fn) {
        try {
            fn();
        } catch (const std::exception& error) {
            print(std::string("Unhandled error on the main thread: ") + error.what());
        } catch (...) {
            print("Unhandled error on the main thread");
        }
    }

    QtExecutionContext* context_;
    bool never_ = false;
};

inline QtExecutionContext::executor_type QtExecutionContext::get_executor() noexcept {
    return QtMainExecutor(*this);
}

}  // namespace platform
