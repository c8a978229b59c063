#pragma once
// The two executors of the process. The main executor is where UI and controller state lives
// (the Qt event loop in the app, an io_context run by the test thread in tests); the shared
// executor is a small pool of background threads for sockets, timers and sends.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <thread>
#include <vector>

namespace platform {

namespace asio = boost::asio;

class Runtime {
public:
    // `mainExecutor` is driven by its owner; the shared pool is started here with
    // `sharedThreads` threads (at least one).
    explicit Runtime(asio::any_io_executor mainExecutor, std::size_t sharedThreads = 2);

    // Calls stop(); work still queued on the shared executor is destroyed with it.
    ~Runtime();

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // Stops the shared pool and joins its threads; idempotent. Must not be called from one of the
    // pool's own threads.
    void stop();

    asio::any_io_executor mainExecutor() const { return main_; }
    asio::any_io_executor sharedExecutor() const { return shared_.get_executor(); }

private:
    asio::any_io_executor main_;
    mutable asio::io_context shared_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

}  // namespace platform
