#pragma once
// The call controller with a scripted conversation and credential fetch, on an io_context the
// test runs, the loopback backend taking the transcripts.

#include "app/session_manager.hpp"
#include "platform/audio/audio_errors.hpp"
#include "support/backend_environment.hpp"
#include "support/test_runtime.hpp"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>

namespace session_manager_test {

using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace fs = std::filesystem;
using kestro::SessionManager;
using kestro::TranscriptEntry;
using realtime::Item;
using Content = Item::Message::Content;

class FakeConversation : public kestro::CallConversation {
public:
    bool connected = false, ended = false;
    std::vector<Item> items;
    std::exception_ptr listenError, transcriptionError;
    std::exception_ptr lostSound;  // the call's sound is gone for good
    int listenCalls = 0, stopCalls = 0, transcriptionCalls = 0;

    // The credentials it was given, and whether it listened before the first.
    std::vector<std::string> tokens;
    bool listenedBeforeConnecting = false;
    std::exception_ptr connectError;

    bool isConnected() const override { return connected; }
    bool hasEnded() const override { return ended; }
    std::exception_ptr audioFailure() const override { return lostSound; }
    const std::vector<Item>& entries() const override { return items; }
    void connect(const std::string& token) override {
        if (tokens.empty()) listenedBeforeConnecting = listenCalls > stopCalls;
        tokens.push_back(token);
        if (connectError) std::rethrow_exception(connectError);
    }
    void startListening() override {
        ++listenCalls;
        if (listenError) std::rethrow_exception(listenError);
    }
    void stopListening() override { ++stopCalls; }
    asio::awaitable<void> enableTranscription() override {
        ++transcriptionCalls;
        if (transcriptionError) std::rethrow_exception(transcriptionError);
        co_return;
    }
};

inline Item userSaid(std::string id, std::optional<std::string> transcript) {
    return Item::Message(std::move(id), Item::ItemRole::user, {Content::input_audio({{}, std::move(transcript)})});
}
inline Content spoken(std::optional<std::string> transcript) { return Content::audio({{}, std::move(transcript)}); }
inline Item assistantSaid(std::string id, std::vector<Content> content) {
    return Item::Message(std::move(id), Item::ItemRole::assistant, std::move(content));
}

class SessionManagerTest : public ::testing::Test {
protected:
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> busy = asio::make_work_guard(io);

    bool callsAvailable = true, headphones = true, network = true, microphone = true;
    int deviceChecks = 0, fetches = 0;
    std::exception_ptr fetchError, listenError;
    // While set, a fetch waits until the test opens the gate (openGate()) or the start is cancelled.
    std::shared_ptr<asio::steady_timer> fetchGate;
    bool gateOpened = false, fetchCancelled = false;
    std::vector<std::shared_ptr<FakeConversation>> made;
    support::BackendEnvironment backend;
    std::shared_ptr<kestro::TranscriptManager> transcripts =
        std::make_shared<kestro::TranscriptManager>(backend.network, std::nullopt);
    SessionManager::Timing timing{600s, 10ms, 300ms};
    std::shared_ptr<SessionManager> manager;

    void SetUp() override {
        backend.storeCredential();
        backend.backend.setReply("/transcript", support::ScriptedReply::json(200, "{}"));
    }

    // Each transcript the backend received, as "role:content:type" lines.
    std::vector<std::vector<std::string>> uploads() const {
        std::vector<std::vector<std::string>> posted;
        for (const auto& request : backend.backend.requestsTo("/transcript")) {
            posted.emplace_back();
            for (const auto& entry : kestro::decodeTranscriptPayload(request.body).entries) {
                posted.back().push_back(entry.role + ":" + entry.content + ":" + entry.type);
            }
        }
        return posted;
    }

    void make() {
        SessionManager::Services services;
        services.callsAvailable = [this] { return callsAvailable; };
        services.hasHeadphones = [this] { return ++deviceChecks, headphones; };
        services.isNetworkReachable = [this] { return ++deviceChecks, network; };
        services.hasMicrophone = [this] { return ++deviceChecks, microphone; };
        services.fetchSessionToken = [this](std::shared_ptr<kestro::UsageManager>) -> asio::awaitable<std::string> {
            ++fetches;
            if (auto gate = fetchGate) {
                try {
                    co_await gate->async_wait(asio::use_awaitable);
                } catch (const boost::system::system_error&) {
                    if (!gateOpened) {
                        fetchCancelled = true;
                        throw;
                    }
                }
            }
            if (fetchError) std::rethrow_exception(fetchError);
            co_return "secret-" + std::to_string(fetches);
        };
        services.makeConversation = [this] {
            made.push_back(std::make_shared<FakeConversation>());
            made.back()->listenError = listenError;
            return made.back();
        };
        services.transcriptManager = transcripts;
        manager = SessionManager::create(io.get_executor(), io.get_executor(), std::move(services), timing);
    }

    template <class Predicate>
    bool runUntil(Predicate done, std::chrono::milliseconds limit = 3s) {
        return support::runUntil(io, done, limit);
    }
    void runFor(std::chrono::milliseconds time) { io.run_for(time); }

    void closeGate() {
        fetchGate = std::make_shared<asio::steady_timer>(io, asio::steady_timer::time_point::max());
        gateOpened = fetchCancelled = false;
    }
    // Only a fetch already waiting at the gate passes it.
    void openGate() {
        gateOpened = true;
        fetchGate->cancel();
    }

    // Starts a call and waits until it is active; the conversation is made by then.
    std::shared_ptr<FakeConversation> startCall() {
        manager->startSession();
        EXPECT_TRUE(runUntil([&] { return manager->isConversationActive.get(); }));
        return made.back();
    }
    // Starts a call and waits until its connection is up and polling.
    std::shared_ptr<FakeConversation> startConnectedCall() {
        auto conversation = startCall();
        conversation->connected = true;
        EXPECT_TRUE(runUntil([&] { return conversation->transcriptionCalls == 1; }));
        return conversation;
    }
    // Starts a call that is refused or fails, and returns the error line then shown. A refusal
    // leaves an earlier line in place until its own is posted.
    std::optional<std::string> failedStart() {
        manager->startSession();
        EXPECT_TRUE(runUntil([&] { return manager->errorMessage.get().has_value(); }));
        runFor(5ms);
        return manager->errorMessage.get();
    }

    bool idle() const {
        return !manager->isConversationActive.get() && !manager->isStartingSession.get() &&
               !manager->isSendingTranscript.get() && !manager->conversation.get();
    }
};

}  // namespace session_manager_test
