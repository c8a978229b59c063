#pragma once
// A conversation made from a credential and a model name, connected to the loopback realtime
// server, with a FakeAudioEngine as microphone and speaker. The server's events are written as the
// JSON the service sends.

#include <gtest/gtest.h>

#include <boost/asio/awaitable.hpp>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio/fake_audio_engine.hpp"
#include "realtime/conversation/conversation.hpp"
#include "realtime/model/base64.hpp"
#include "support/audio_signals.hpp"
#include "support/engine_probe.hpp"
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"

namespace conversation_test {

using json = support::Json;
using realtime::Conversation;
using namespace std::chrono_literals;

using support::EngineProbe;

// --- The service's events ---

// An event of the service, with an event id of its own.
inline json event(const std::string& type, json fields = json::object()) {
    return support::serverEvent(type, std::move(fields));
}

inline json audioContent(const std::string& type, const realtime::Bytes& audio = {},
                         std::optional<std::string> transcript = std::nullopt) {
    return {{"type", type}, {"audio", realtime::base64Encode(audio)}, {"transcript", transcript ? json(*transcript) : json()}};
}

inline json textContent(const std::string& type, const std::string& text) { return {{"type", type}, {"text", text}}; }

inline json message(const std::string& id, const std::string& role, json content, const std::string& status = "in_progress") {
    return {{"id", id}, {"type", "message"}, {"status", status}, {"role", role}, {"content", std::move(content)}};
}

inline json functionCall(const std::string& id, const std::string& arguments = "") {
    return {{"id", id}, {"type", "function_call"}, {"status", "in_progress"}, {"call_id", "call_1"},
            {"name", "lookup"}, {"arguments", arguments}};
}

inline json itemCreated(json item) { return event("conversation.item.created", {{"item", std::move(item)}}); }

// The fields of the events that address one content part of an item of a response.
inline json partOf(const std::string& itemId, int contentIndex, json fields = json::object()) {
    fields.update({{"response_id", "resp_1"}, {"item_id", itemId}, {"output_index", 0}, {"content_index", contentIndex}});
    return fields;
}

inline json audioDelta(const std::string& itemId, const realtime::Bytes& audio, int contentIndex = 0) {
    return event("response.audio.delta", partOf(itemId, contentIndex, {{"delta", realtime::base64Encode(audio)}}));
}

inline json speechStarted() { return event("input_audio_buffer.speech_started", {{"audio_start_ms", 0}, {"item_id", "user"}}); }

inline realtime::Bytes bytesOf(const platform::PcmBuffer& buffer) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer.data());
    return {bytes, bytes + buffer.byteSize()};
}

// `frames` of a 440 Hz tone as wire audio (16-bit little-endian mono at 24 kHz).
inline realtime::Bytes wireTone(std::uint32_t frames) {
    return bytesOf(*kestro::test::makeSine(Conversation::desiredFormat(), frames, 440, 0.25));
}

// --- The fixture ---

class ConversationTest : public ::testing::Test {
protected:
    template <class F>
    auto onMain(F function) {
        return runtime.onMain(std::move(function));
    }

    void SetUp() override {
        ::setenv("KESTRO_REALTIME_URL", server.baseUrl().c_str(), 1);
        conversation = onMain([&] {
            return Conversation::create(runtime.runtime(), "secret-token", "gpt-4o-realtime-preview", probe);
        });
        ASSERT_TRUE(server.waitForConnection());
    }
    void TearDown() override { drop(); }

    // Releases the test's reference on the main executor, as an owner there would.
    void drop() {
        onMain([&] { conversation.reset(); });
    }

    // Waits until every event sent so far has been handled: events are handled in order, so once
    // a marker sent after them has shown, they have been too.
    void sync() {
        const std::string marker = "sync_" + std::to_string(++syncs_);
        server.sendText(event("conversation.created", {{"conversation", {{"id", marker}}}}).dump());
        ASSERT_TRUE(support::eventually([&] { return onMain([&] { return conversation->id().get() == marker; }); }));
    }
    void pushAndSync(const json& message) {
        server.sendText(message.dump());
        sync();
    }
    void connect() { pushAndSync(event("session.created", {{"session", support::realtimeSession(false)}})); }

    // The client events the server received, of one type or all.
    std::vector<json> sent(const std::string& type = "") {
        std::vector<json> events;
        for (const auto& frame : server.frames()) {
            auto sentEvent = json::parse(frame.data);
            if (type.empty() || sentEvent["type"] == type) events.push_back(sentEvent);
        }
        return events;
    }

    support::TestRuntime runtime;
    std::shared_ptr<platform::FakeAudioEngine> engine = std::make_shared<platform::FakeAudioEngine>();
    std::shared_ptr<EngineProbe> probe = std::make_shared<EngineProbe>(engine);
    support::RealtimeServer server;
    std::shared_ptr<Conversation> conversation;

private:
    int syncs_ = 0;
};

}  // namespace conversation_test
