#include "platform/runtime/print.hpp"

#include <cstdio>
#include <mutex>
#include <string>

namespace platform {
namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

PrintSink& currentSink() {
    static PrintSink sink;
    return sink;
}

}  // namespace

void print(std::string_view line) {
    std::lock_guard lock(sinkMutex());
    if (auto& sink = currentSink()) {
        sink(line);
        return;
    }
    std::string text(line);
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

PrintSink setPrintSink(PrintSink sink) {
    std::lock_guard lock(sinkMutex());
    auto previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

}  // namespace platform
