// Feeds arbitrary bytes to the decoder of received messages. Whatever arrives, decoding either
// yields an event or throws DecodingError; anything else (a crash, another exception, a sanitizer
// report) is a fault.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "realtime/model/codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const auto event = realtime::decodeServerEvent(text);
        (void)event;
    } catch (const realtime::DecodingError&) {
    }
    return 0;
}
