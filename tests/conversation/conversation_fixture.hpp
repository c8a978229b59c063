#pragma once
// A conversation on a hand-fed connector and a FakeAudioEngine, with the server's events written
// as the JSON the service sends.

#include <gtest/gtest.h>

#include <boost/asio/awaitable.hpp>

#include <nlohmann/json.hpp>

#include <cmath>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/audio/fake_audio_engine.hpp"
#include "platform/runtime/async_stream.hpp"
#include "realtime/conversation/conversation.hpp"
#include "realtime/model/base64.hpp"
#include "realtime/model/codec.hpp"
#include "support/test_runtime.hpp"

namespace conversation_test {

using json = nlohmann::json;
using realtime::Conversation;
using namespace std::chrono_literals;

// What passed through a FakeConnector; outlives the connector, which the conversation owns.
struct Wire {
    mutable std::mutex mutex;
    std::vector<std::string> sent;  // JSON text of every client event, in send order
    bool failSends = false;
    int disconnectCalls = 0;
    bool destroyed = false;

    std::vector<json> sentEvents() const {
        std::lock_guard lock(mutex);
        std::vector<json> events;
        for (const auto& text : sent) events.push_back(json::parse(text));
        return events;
    }
    std::vector<json> sentOfType(const std::string& type) const {
        std::vector<json> events;
        for (auto& event : sentEvents()) {
            if (event["type"] == type) events.push_back(event);
        }
        return events;
    }
    std::size_t sentCount() const {
        std::lock_guard lock(mutex);
        return sent.size();
    }
};

class FakeConnector : public realtime::Connector {
public:
    explicit FakeConnector(std::shared_ptr<Wire> wire) : wire_(std::move(wire)) {
        auto [stream, continuation] = platform::AsyncStream<realtime::ServerEvent>::make();
        stream_.emplace(std::move(stream));
        continuation_.emplace(std::move(continuation));
    }
    ~FakeConnector() override {
        continuation_->finish();
        std::function<void()> handler;
        {
            std::lock_guard lock(wire_->mutex);
            wire_->destroyed = true;
            handler = handler_;
        }
        if (handler) {
            handler();
            std::lock_guard lock(wire_->mutex);
            ++wire_->disconnectCalls;
        }
    }

    realtime::ServerEventStream events() const override { return *stream_; }
    realtime::DisconnectHandler onDisconnect() const override {
        std::lock_guard lock(wire_->mutex);
        return handler_;
    }
    void onDisconnect(realtime::DisconnectHandler handler) override {
        std::lock_guard lock(wire_->mutex);
        handler_ = std::move(handler);
    }
    // Records the event at the call, as the real connector queues it there.
    boost::asio::awaitable<void> send(const realtime::ClientEvent& event) override {
        auto text = realtime::encode(event);
        std::unique_lock lock(wire_->mutex);
        if (wire_->failSends) return fail();
        wire_->sent.push_back(std::move(text));
        return done();
    }

    // The server's side.
    void push(const json& event) { continuation_->yield(realtime::decodeServerEvent(event.dump())); }
    void fail(std::exception_ptr error) { continuation_->fail(std::move(error)); }
    void finish() { continuation_->finish(); }

private:
    static boost::asio::awaitable<void> done() { co_return; }
    static boost::asio::awaitable<void> fail() {
        throw std::runtime_error("the connection is closed");
        co_return;
    }

    std::shared_ptr<Wire> wire_;
    std::optional<platform::AsyncStream<realtime::ServerEvent>> stream_;
    std::optional<platform::AsyncStream<realtime::ServerEvent>::Continuation> continuation_;
    std::function<void()> handler_;
};

// Passes everything to a FakeAudioEngine and keeps the player the conversation made, so that a
// test can look at what was scheduled on it.
class EngineProbe : public platform::AudioEngine {
public:
    explicit EngineProbe(std::shared_ptr<platform::FakeAudioEngine> fake) : fake_(std::move(fake)) {}

    std::shared_ptr<platform::PlayerNode> player() const {
        std::lock_guard lock(mutex_);
        return player_;
    }

    platform::AudioFormat inputFormat() override { return fake_->inputFormat(); }
    void installTap(uint32_t bufferSize, TapBlock block) override {
        std::lock_guard lock(mutex_);
        tapBufferSize = bufferSize;
        fake_->installTap(bufferSize, std::move(block));
    }
    void removeTap() override { fake_->removeTap(); }
    std::shared_ptr<platform::PlayerNode> makePlayerNode() override {
        auto player = fake_->makePlayerNode();
        std::lock_guard lock(mutex_);
        player_ = player;
        return player;
    }
    void attach(const std::shared_ptr<platform::PlayerNode>& player) override { fake_->attach(player); }
    bool isAttached(const platform::PlayerNode& player) const override { return fake_->isAttached(player); }
    void connect(const std::shared_ptr<platform::PlayerNode>& player, const platform::AudioFormat& format) override {
        fake_->connect(player, format);
    }
    void disconnectNodeInput(const platform::PlayerNode& player) override { fake_->disconnectNodeInput(player); }
    void disconnectNodeOutput(const platform::PlayerNode& player) override { fake_->disconnectNodeOutput(player); }
    void prepare() override { fake_->prepare(); }
    void start() override { fake_->start(); }
    void stop() override { fake_->stop(); }
    void reset() override { fake_->reset(); }
    bool isRunning() const override { return fake_->isRunning(); }
    std::unique_ptr<platform::AudioConverter> makeConverter(const platform::AudioFormat& from,
                                                            const platform::AudioFormat& to) override {
        return fake_->makeConverter(from, to);
    }

    uint32_t tapBufferSize = 0;

private:
    std::shared_ptr<platform::FakeAudioEngine> fake_;
    mutable std::mutex mutex_;
    std::shared_ptr<platform::PlayerNode> player_;
};

// --- The service's events, as JSON ---

inline json sessionObject(const std::string& instructions = "Be brief.") {
    return {{"id", "sess_1"},          {"object", "realtime.session"},
            {"model", "gpt-4o-realtime-preview"},
            {"modalities", {"text", "audio"}},
            {"instructions", instructions},
            {"voice", "alloy"},        {"input_audio_format", "pcm16"},
            {"output_audio_format", "pcm16"},
            {"turn_detection", {{"type", "server_vad"}, {"create_response", true}}},
            {"tools", json::array()},  {"tool_choice", "auto"},
            {"temperature", 0.8}};
}

inline json event(const std::string& type, json fields = json::object()) {
    static int next = 0;
    fields["type"] = type;
    fields["event_id"] = "event_" + std::to_string(++next);
    return fields;
}

inline json audioContent(const std::string& type, const realtime::Bytes& audio = {},
                         std::optional<std::string> transcript = std::nullopt) {
    json content = {{"type", type}, {"audio", realtime::base64Encode(audio)}};
    content["transcript"] = transcript ? json(*transcript) : json(nullptr);
    return content;
}

inline json textContent(const std::string& type, const std::string& text) { return {{"type", type}, {"text", text}}; }

inline json message(const std::string& id, const std::string& role, json content,
                    const std::string& status = "in_progress") {
    return {{"id", id}, {"type", "message"}, {"status", status}, {"role", role}, {"content", std::move(content)}};
}

inline json functionCall(const std::string& id, const std::string& arguments = "") {
    return {{"id", id},           {"type", "function_call"}, {"status", "in_progress"},
            {"call_id", "call_1"}, {"name", "lookup"},        {"arguments", arguments}};
}

inline json itemCreated(json item) { return event("conversation.item.created", {{"item", std::move(item)}}); }

// Fields of the events that address one content part of an item of a response.
inline json partOf(const std::string& itemId, int contentIndex, json fields = json::object()) {
    fields["response_id"] = "resp_1";
    fields["item_id"] = itemId;
    fields["output_index"] = 0;
    fields["content_index"] = contentIndex;
    return fields;
}

inline json audioDelta(const std::string& itemId, const realtime::Bytes& audio, int contentIndex = 0) {
    return event("response.audio.delta", partOf(itemId, contentIndex, {{"delta", realtime::base64Encode(audio)}}));
}

// --- Audio ---

// `frames` of a 440 Hz tone as wire audio (16-bit little-endian mono at 24 kHz).
inline realtime::Bytes wireTone(std::size_t frames, std::size_t startFrame = 0) {
    realtime::Bytes bytes;
    bytes.reserve(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        auto sample = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440 * double(startFrame + i) / 24000));
        auto value = static_cast<std::uint16_t>(sample);
        bytes.push_back(static_cast<std::uint8_t>(value & 0xff));
        bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    return bytes;
}

// --- The fixture ---

class ConversationTest : public ::testing::Test {
protected:
    void SetUp() override { create(); }
    void TearDown() override { drop(); }

    virtual void create() {
        auto connector = std::make_shared<FakeConnector>(wire);
        server = connector.get();
        conversation = runtime.onMain([&] { return Conversation::create(runtime.runtime(), connector, probe); });
    }
    // Hands an event of the service's to the conversation.
    virtual void deliver(const json& serverEvent) { server->push(serverEvent); }
    // Releases the test's reference on the main executor, as an owner there would.
    void drop() {
        runtime.onMain([&] { conversation.reset(); });
        server = nullptr;
    }

    template <class F>
    auto onMain(F function) {
        return runtime.onMain(std::move(function));
    }

    // Waits until every event pushed so far has been handled: events are handled in order, so
    // once a marker pushed after them has shown, they have been too.
    void sync() {
        const std::string marker = "sync_" + std::to_string(++syncs_);
        deliver(event("conversation.created", {{"conversation", {{"id", marker}}}}));
        ASSERT_TRUE(support::eventually([&] { return onMain([&] { return conversation->id().get() == marker; }); }));
    }

    void pushAndSync(const json& serverEvent) {
        deliver(serverEvent);
        sync();
    }

    void connect() {
        pushAndSync(event("session.created", {{"session", sessionObject()}}));
    }

    support::TestRuntime runtime;
    std::shared_ptr<platform::FakeAudioEngine> engine = std::make_shared<platform::FakeAudioEngine>();
    std::shared_ptr<EngineProbe> probe = std::make_shared<EngineProbe>(engine);
    std::shared_ptr<Wire> wire = std::make_shared<Wire>();
    FakeConnector* server = nullptr;
    std::shared_ptr<Conversation> conversation;

private:
    int syncs_ = 0;
};

}  // namespace conversation_test
