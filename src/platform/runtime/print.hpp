#pragma once
// Lines the libraries print "to standard output" go through one replaceable sink so that tests
// can read them.

#include <functional>
#include <string_view>

namespace platform {

using PrintSink = std::function<void(std::string_view line)>;

// Writes one line (a newline is added) through the current sink. Safe from any thread.
void print(std::string_view line);

// Replaces the sink and returns the previous one; an empty sink restores standard output.
PrintSink setPrintSink(PrintSink sink);

// Installs a sink for the lifetime of the guard and restores the previous one afterwards.
class ScopedPrintSink {
public:
    explicit ScopedPrintSink(PrintSink sink) : previous_(setPrintSink(std::move(sink))) {}
    ~ScopedPrintSink() { setPrintSink(std::move(previous_)); }
    ScopedPrintSink(const ScopedPrintSink&) = delete;
    ScopedPrintSink& operator=(const ScopedPrintSink&) = delete;

private:
    PrintSink previous_;
};

}  // namespace platform
