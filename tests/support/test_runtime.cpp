#include "support/test_runtime.hpp"

namespace support {

TestRuntime::TestRuntime(std::size_t sharedThreads)
    : mainWork_(mainContext_.get_executor()),
      runtime_(std::make_unique<platform::Runtime>(mainContext_.get_executor(), sharedThreads)),
      mainThread_([this] { mainContext_.run(); }) {}

TestRuntime::~TestRuntime() {
    // Stop both loops, let the main executor run what was already queued for it, then drop the
    // shared pool's pending work before the main context goes away.
    mainWork_.reset();
    mainContext_.stop();
    mainThread_.join();
    runtime_->stop();
    mainContext_.restart();
    mainContext_.poll();
    runtime_.reset();
}

}  // namespace support
