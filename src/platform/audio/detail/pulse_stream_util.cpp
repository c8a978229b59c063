#include "platform/audio/detail/pulse_stream_util.hpp"

namespace platform::detail {

pa_sample_spec specOf(const AudioFormat& format) {
    pa_sample_spec spec{};
    spec.format = format.sampleFormat == SampleFormat::int16 ? PA_SAMPLE_S16NE : PA_SAMPLE_FLOAT32NE;
    spec.rate = static_cast<uint32_t>(format.sampleRate);
    spec.channels = static_cast<uint8_t>(format.channelCount);
    return spec;
}

bool representable(const AudioFormat& format) {
    if (!format.isValid() || format.sampleRate != double(static_cast<uint32_t>(format.sampleRate))) return false;
    auto spec = specOf(format);
    return pa_sample_spec_valid(&spec) != 0;
}

void release(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
}

void runAll(Completions& completions) {
    for (auto& completion : completions) {
        if (completion) completion();
    }
    completions.clear();
}

void closeStream(pa_stream*& stream) {
    if (!stream) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

}  // namespace platform::detail
