#pragma once
// Small helpers shared by the PulseAudio engine's capture and playback: formats as sample specs,
// releasing operations and streams, and running completions.

#include <pulse/pulseaudio.h>

#include <vector>

#include "platform/audio/audio_engine.hpp"

namespace platform::detail {

using Completions = std::vector<PlayerNode::Completion>;

pa_sample_spec specOf(const AudioFormat& format);
// Whether the server can carry the format as a stream.
bool representable(const AudioFormat& format);
// Drops our reference to an operation we do not wait for.
void release(pa_operation* operation);
void runAll(Completions& completions);
// Unhooks, disconnects and releases a stream; leaves the pointer null.
void closeStream(pa_stream*& stream);

}  // namespace platform::detail
