#include <gtest/gtest.h>

#include "realtime/model/codec.hpp"

namespace realtime {
namespace {

TEST(ModelSmoke, AudioDeltaDecodesAndAppendEncodes) {
    const auto event = decodeServerEvent(
        R"({"type":"response.audio.delta","event_id":"e1","response_id":"r","item_id":"i",)"
        R"("output_index":0,"content_index":0,"delta":"AAEC"})");
    ASSERT_EQ(event.kind(), ServerEvent::Kind::responseAudioDelta);
    EXPECT_EQ(event.id(), "e1");
    EXPECT_EQ(event.get<ServerEvent::Kind::responseAudioDelta>().delta, (Bytes{0, 1, 2}));

    const std::uint8_t bytes[] = {0, 1, 2};
    EXPECT_EQ(encode(ClientEvent::appendInputAudioBuffer(std::nullopt, bytes)),
              R"({"audio":"AAEC","type":"input_audio_buffer.append"})");
}

}  // namespace
}  // namespace realtime
