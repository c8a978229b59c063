#pragma once
// Shared by the tests against the private PulseAudio server that scripts/test.sh starts (default
// sink kestro_null, default source kestro_sine: 440 Hz at 48 kHz).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kestro::test {

inline bool pulseServerAvailable() { return std::getenv("PULSE_SERVER") != nullptr; }

#define KESTRO_REQUIRE_PULSE()                                                                          \
    do {                                                                                                \
        if (!::kestro::test::pulseServerAvailable())                                                    \
            GTEST_SKIP() << "PULSE_SERVER is not set: no private PulseAudio server (scripts/test.sh starts one)"; \
    } while (0)

// What the sound server may leave unread at the end of what a player wrote, until more follows,
// in frames at `sampleRate`: nothing on PulseAudio; less than one period on PipeWire, which reads
// whole periods (1024 frames at 48 kHz here). The player's position is what the server read.
inline int64_t unreadTailFrames(double sampleRate) {
    const char* choice = std::getenv("KESTRO_SOUND_SERVER");
    const bool pipewire = choice && std::string(choice) == "pipewire";
    return pipewire ? static_cast<int64_t>(1024 * sampleRate / 48000) : 0;
}

// Runs pactl with the arguments and returns its standard output (trailing newline removed), or
// fails the test when it exits with an error.
inline std::string pactl(const std::string& arguments) {
    std::string output;
    FILE* pipe = popen(("pactl " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run pactl";
        return output;
    }
    char chunk[512];
    while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
    int status = pclose(pipe);
    EXPECT_EQ(status, 0) << "pactl " << arguments << ": " << output;
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

}  // namespace kestro::test
