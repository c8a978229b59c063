// The JSON reader and writer every part of the application shares, the microphone frame written
// without the record coding, and the chunked audio of a content entry.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/json/json.hpp"
#include "realtime/model/audio_bytes.hpp"
#include "realtime/model/codec.hpp"

namespace {

namespace json = platform::json;

std::string written(double number) {
    std::string out;
    json::appendNumber(out, number);
    return out;
}

TEST(JsonText, DoublesTakeTheirShortestExactForm) {
    for (const auto& [number, text] : std::vector<std::pair<double, std::string>>{
             {0.8, "0.8"}, {2.0, "2.0"}, {-0.0, "-0.0"}, {0.0, "0.0"}, {1e20, "1e+20"}, {1e15, "1e+15"},
             {1e14, "100000000000000.0"}, {123456.789, "123456.789"}, {0.0001, "0.0001"}, {0.00001, "1e-05"},
             {-1.5e-300, "-1.5e-300"}, {1.7976931348623157e308, "1.7976931348623157e+308"}, {0.1 + 0.2, "0.30000000000000004"},
             {std::numeric_limits<double>::infinity(), "null"}, {std::nan(""), "null"}}) {
        EXPECT_EQ(written(number), text) << number;
        if (std::isfinite(number)) {
            // Read back, the text gives the same double.
            auto value = json::read(text);
            ASSERT_TRUE(value);
            EXPECT_EQ(value->to_number<double>(), number) << text;
        }
    }
}

TEST(JsonText, StringsEscapeOnlyWhatJsonRequiresAndMustBeUtf8) {
    for (const auto& [text, escaped] : std::vector<std::pair<std::string, std::string>>{
             {"plain/text", R"("plain/text")"},
             {"q\"b\\", R"("q\"b\\")"},
             {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
             {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\x7f\""},
             {std::string("nul\0!", 5), R"("nul\u0000!")"},
             {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA7", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA7\""}}) {
        std::string out;
        json::appendString(out, text);
        EXPECT_EQ(out, escaped);
        auto back = json::read(out);
        ASSERT_TRUE(back) << out;
        EXPECT_EQ(std::string(back->get_string()), text);
    }
    // Truncated, overlong, surrogate, beyond U+10FFFF, stray continuation.
    for (const std::string bad : {"\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "a\xFF"}) {
        EXPECT_FALSE(json::isValidUtf8(bad));
        std::string out;
        EXPECT_THROW(json::appendString(out, bad), json::InvalidUtf8);
        EXPECT_FALSE(json::read("\"" + bad + "\""));
    }
}

TEST(JsonText, ObjectsKeepTheirOrderOrSortAndIndentOnRequest) {
    const auto value = json::read(R"({"b":1,"a":[true,null,{}],"c":{"z":[],"y":"s"}})");
    ASSERT_TRUE(value);
    EXPECT_EQ(json::write(*value), R"({"b":1,"a":[true,null,{}],"c":{"z":[],"y":"s"}})");
    EXPECT_EQ(json::write(*value, {.sortKeys = true}), R"({"a":[true,null,{}],"b":1,"c":{"y":"s","z":[]}})");
    EXPECT_EQ(json::write(*value, {.indent = 2}),
              "{\n  \"b\": 1,\n  \"a\": [\n    true,\n    null,\n    {}\n  ],\n  \"c\": {\n    \"z\": [],\n    \"y\": \"s\"\n  }\n}");
}

TEST(JsonText, ReadingRefusesWhatIsNotOneWholeBoundedText) {
    std::string error;
    EXPECT_FALSE(json::read("[1e400]", &error));
    EXPECT_EQ(error, "number overflow parsing '1e400'");
    EXPECT_FALSE(json::read("-1e309", &error));
    EXPECT_EQ(error, "number overflow parsing '-1e309'");
    // Too small for a double is zero, as the number is closest to.
    auto tiny = json::read("1e-400");
    ASSERT_TRUE(tiny);
    EXPECT_EQ(tiny->to_number<double>(), 0.0);
    // Integers keep their kind; beyond 64 bits they become doubles.
    EXPECT_TRUE(json::read("-9223372036854775808")->is_int64());
    EXPECT_TRUE(json::read("18446744073709551615")->is_uint64());
    EXPECT_TRUE(json::read("18446744073709551616")->is_double());

    for (const char* bad : {"", "{} {}", "[1,]", "{\"a\":1,}", "// c\n1", "'s'", "[\"\\ud800\"]", "nul"}) {
        EXPECT_FALSE(json::read(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_TRUE(json::read("\xEF\xBB\xBF{\"a\":1}"));  // a byte order mark is skipped

    const std::string deep = std::string(600, '[') + std::string(600, ']');
    EXPECT_FALSE(json::read(deep));
    EXPECT_TRUE(json::read(deep, nullptr, {.maxDepth = 1000}));
}

TEST(AppendFrame, WrittenDirectlyAsTheRecordCodingWouldWriteIt) {
    using realtime::ClientEvent;
    const realtime::Bytes audio{0, 1, 2, 250, 251, 252, 253};
    EXPECT_EQ(realtime::encode(ClientEvent::appendInputAudioBuffer(std::nullopt, audio)),
              R"({"audio":"AAEC+vv8/Q==","type":"input_audio_buffer.append"})");
    EXPECT_EQ(realtime::encode(ClientEvent::appendInputAudioBuffer("ev \"1\"\n", {})),
              R"({"audio":"","event_id":"ev \"1\"\n","type":"input_audio_buffer.append"})");
    // The same text as every other event: keys in byte order, like the commit that follows it.
    EXPECT_EQ(realtime::encode(ClientEvent::commitInputAudioBuffer("e")),
              R"({"event_id":"e","type":"input_audio_buffer.commit"})");
    EXPECT_THROW(realtime::encode(ClientEvent::appendInputAudioBuffer(std::string("\xC3"), audio)),
                 realtime::EncodingError);
}

TEST(AudioBytes, GrowsByChunksThatNeverMoveAndComparesByContent) {
    realtime::AudioBytes audio;
    realtime::Bytes all;
    const std::uint8_t* firstChunk = nullptr;
    for (int delta = 0; delta < 60; ++delta) {
        realtime::Bytes bytes(64 * 1024 + static_cast<std::size_t>(delta));
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + delta);
        audio.append(bytes);
        all.insert(all.end(), bytes.begin(), bytes.end());
        if (delta == 0) firstChunk = audio.chunks().front().data();
    }
    // About 4 MiB in chunks of 1 MiB: what was filled first is still where it was written.
    EXPECT_EQ(audio.chunks().front().data(), firstChunk);
    EXPECT_GE(audio.chunks().size(), 4u);
    EXPECT_EQ(audio.size(), all.size());
    EXPECT_EQ(audio.contiguous(), all);
    EXPECT_EQ(audio, realtime::AudioBytes(all));
    EXPECT_EQ(realtime::AudioBytes(all), audio);

    auto different = all;
    ASSERT_FALSE(different.empty());
    different.at(different.size() - 1) ^= 1;
    EXPECT_FALSE(audio == realtime::AudioBytes(different));
    EXPECT_FALSE(audio == realtime::AudioBytes(realtime::Bytes(all.begin(), all.end() - 1)));

    // A delta larger than a chunk gets a chunk of its own size.
    realtime::AudioBytes large;
    large.append(realtime::Bytes(3 << 20, 9));
    large.append(realtime::Bytes{1});
    EXPECT_EQ(large.size(), (3u << 20) + 1);

    // The record coding writes and reads the chunks as one base64 text.
    realtime::Item::Message::Content content = realtime::Item::Message::Content::audio({audio, std::string("t")});
    EXPECT_EQ(realtime::decodeJson<realtime::Item::Message::Content>(realtime::encodeJson(content)), content);
}

}  // namespace
