// Feeds arbitrary bytes to the decoder of received messages. Whatever arrives, decoding either
// yields an event or throws DecodingError; anything else (a crash, another exception, a sanitizer
// report) is a fault. A session that decodes, whatever texts of its closed sets it holds, is
// written back as the same session (the client echoes announced sessions in "session.update").

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "realtime/model/codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const auto event = realtime::decodeServerEvent(text);
        using Kind = realtime::ServerEvent::Kind;
        if (event.kind() == Kind::sessionCreated || event.kind() == Kind::sessionUpdated) {
            const auto& session = event.kind() == Kind::sessionCreated
                                      ? event.get<Kind::sessionCreated>().session
                                      : event.get<Kind::sessionUpdated>().session;
            if (realtime::decodeJson<realtime::Session>(realtime::encodeJson(session)) != session)
                std::abort();
        }
    } catch (const realtime::DecodingError&) {
    }
    return 0;
}
