#pragma once
// What the headset plays, recorded from its sink's monitor (16-bit mono at 24 kHz) and read back
// as the stretch in which it sounded.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e-app/child_process.hpp"

namespace e2e_app {

constexpr int recordRate = 24000;
constexpr std::size_t windowFrames = recordRate / 50;  // 20 ms

// The sounding stretch of a recording, in 20 ms windows.
struct Played {
    std::size_t first = 0, last = 0;  // first and one past the last sounding window
    std::size_t gaps = 0;             // silent windows between them
    std::chrono::milliseconds sounding() const { return std::chrono::milliseconds((last - first - gaps) * 20); }
};

// The sounding stretch of the recorded `bytes`.
inline Played analyse(const std::string& bytes) {
    std::vector<bool> sounding;
    for (std::size_t at = 0; at + windowFrames * 2 <= bytes.size(); at += windowFrames * 2) {
        double sum = 0;
        for (std::size_t i = 0; i < windowFrames; ++i) {
            std::int16_t sample;
            std::memcpy(&sample, bytes.data() + at + i * 2, 2);
            sum += double(sample) * sample;
        }
        sounding.push_back(std::sqrt(sum / windowFrames) > 1000);
    }
    Played result;
    auto first = std::find(sounding.begin(), sounding.end(), true);
    if (first == sounding.end()) return result;
    result.first = static_cast<std::size_t>(first - sounding.begin());
    result.last = sounding.size() -
                  static_cast<std::size_t>(std::find(sounding.rbegin(), sounding.rend(), true) - sounding.rbegin());
    result.gaps = static_cast<std::size_t>(std::count(sounding.begin() + static_cast<std::ptrdiff_t>(result.first),
                                                      sounding.begin() + static_cast<std::ptrdiff_t>(result.last), false));
    return result;
}

// Records what the headset of the sound server at `pulseServer` plays into `recording`, from now
// until the returned process goes; parec's output goes to `log`.
inline std::unique_ptr<e2e::ChildProcess> recordHeadset(const std::string& pulseServer,
                                                        const std::filesystem::path& recording,
                                                        const std::filesystem::path& log) {
    return std::make_unique<e2e::ChildProcess>(
        std::vector<std::string>{"sh", "-c",
                                 "exec parec --raw --format=s16le --rate=24000 --channels=1 --latency-msec=20 "
                                 "--device=kestro_headset.monitor > '" + recording.string() + "'"},
        std::map<std::string, std::string>{{"PULSE_SERVER", pulseServer}}, log);
}

}  // namespace e2e_app
