#include "platform/runtime/print.hpp"

#include <cstdio>
#include <mutex>
#include <string>

namespace platform {
namespace {

// Never destroyed: threads that are joined only at exit (an HTTP client's worker completing what
// is pending) may still print after this file's statics would have gone.
std::mutex& sinkMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

PrintSink& currentSink() {
    static auto* sink = new PrintSink;
    return *sink;
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
