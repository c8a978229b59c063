#include "platform/runtime/runtime.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace platform {

Runtime::Runtime(asio::any_io_executor mainExecutor, std::size_t sharedThreads)
    : main_(std::move(mainExecutor)),
      shared_(static_cast<int>(std::max<std::size_t>(sharedThreads, 1))),
      work_(shared_.get_executor()) {
    const auto count = std::max<std::size_t>(sharedThreads, 1);
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        threads_.emplace_back([this] { shared_.run(); });
    }
}

Runtime::~Runtime() { stop(); }

void Runtime::stop() {
    work_.reset();
    shared_.stop();
    for (auto& thread : threads_) {
        if (thread.get_id() == std::this_thread::get_id()) {
            std::fprintf(stderr, "kestro: Runtime stopped from its own shared thread\n");
            std::abort();
        }
        if (thread.joinable()) thread.join();
    }
}

}  // namespace platform
