#include "realtime/conversation/conversation.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <chrono>
#include <span>
#include <utility>

#include "platform/audio/pulse_audio_engine.hpp"
#include "platform/runtime/print.hpp"
#include "realtime/conversation/answer_audio.hpp"
#include "realtime/conversation/microphone_stream.hpp"
#include "realtime/conversation/playback_queue.hpp"
#include "realtime/conversation/random_id.hpp"

namespace realtime {

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

const char* errorText(ConversationError::Code code) {
    switch (code) {
    case ConversationError::Code::sessionNotFound:
        return "No session has been created yet";
    case ConversationError::Code::converterInitializationFailed:
        return "The converter from the input format could not be created";
    case ConversationError::Code::connectionEnded:
        return "The connection ended before a session was created";
    case ConversationError::Code::notConnected:
        return "The conversation has no connection yet";
    }
    return "Conversation error";
}

// The entry at a content index of the server's, or null when the index lies outside the content.
Item::Message::Content* contentAt(Item::Message& message, std::int64_t index) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= message.content.size()) return nullptr;
    return &message.content[static_cast<std::size_t>(index)];
}

}  // namespace

std::size_t Conversation::wireBytesPerSecond() {
    const auto format = desiredFormat();
    return static_cast<std::size_t>(format.bytesPerFrame()) * static_cast<std::size_t>(format.sampleRate);
}

namespace {

// The sends of the operations, run on the shared executor. Each stops at the first failure.
// The connection is held only to queue a message, never while its write is awaited: a write the
// network never completes must not keep an ended conversation's connection from closing.
asio::awaitable<void> sendThrough(const std::weak_ptr<RealtimeAPI>& weak, const ClientEvent& event) {
    auto client = weak.lock();
    if (!client) throw ConversationError(ConversationError::Code::connectionEnded);
    auto sending = client->send(event);
    client.reset();
    co_await std::move(sending);
}

asio::awaitable<void> sendEvents(std::weak_ptr<RealtimeAPI> client, std::vector<ClientEvent> events) {
    for (auto& event : events) co_await sendThrough(client, event);
}

asio::awaitable<void> sendSession(std::weak_ptr<RealtimeAPI> client, Session session,
                                  Conversation::SessionChanges changes) {
    if (changes) changes(session);
    session.id.reset();
    co_await sendThrough(client, ClientEvent::updateSession(std::nullopt, std::move(session)));
}

asio::awaitable<void> sendMessage(std::weak_ptr<RealtimeAPI> client, Item::ItemRole from, std::string text,
                                  std::optional<Response::Config> response) {
    Item::Message message(randomID(32), from, {Item::Message::Content::input_text(std::move(text))});
    co_await sendThrough(client, ClientEvent::createConversationItem(std::nullopt, std::nullopt, Item(std::move(message))));
    co_await sendThrough(client, ClientEvent::createResponse(std::nullopt, std::move(response)));
}

}  // namespace

ConversationError::ConversationError(Code code) : std::runtime_error(errorText(code)), code_(code) {}

platform::AudioFormat Conversation::desiredFormat() { return platform::AudioFormat::int16(24000, 1); }

std::shared_ptr<Conversation> Conversation::create(platform::Runtime& runtime, const std::string& authToken,
                                                   const std::string& model,
                                                   std::shared_ptr<platform::AudioEngine> audioEngine) {
    return create(runtime, RealtimeAPI::webSocket(runtime.sharedExecutor(), authToken, model), std::move(audioEngine));
}

std::shared_ptr<Conversation> Conversation::create(platform::Runtime& runtime, std::shared_ptr<Connector> connector,
                                                   std::shared_ptr<platform::AudioEngine> audioEngine) {
    return create(runtime, std::make_shared<RealtimeAPI>(std::move(connector)), std::move(audioEngine));
}

std::shared_ptr<Conversation> Conversation::create(platform::Runtime& runtime, std::shared_ptr<RealtimeAPI> client,
                                                   std::shared_ptr<platform::AudioEngine> audioEngine) {
    if (!audioEngine) audioEngine = std::make_shared<platform::PulseAudioEngine>();
    auto conversation =
        std::make_shared<Conversation>(Private{}, runtime, std::move(client), std::move(audioEngine));
    conversation->start();
    return conversation;
}

Conversation::Conversation(Private, platform::Runtime& runtime, std::shared_ptr<RealtimeAPI> client,
                           std::shared_ptr<platform::AudioEngine> audioEngine)
    : Conversation(runtime, std::move(client), std::move(audioEngine), platform::AsyncStream<ServerError>::make()) {}

Conversation::Conversation(platform::Runtime& runtime, std::shared_ptr<RealtimeAPI> client,
                           std::shared_ptr<platform::AudioEngine> audioEngine, ErrorStreamPair errors)
    : main_(runtime.mainExecutor()),
      shared_(runtime.sharedExecutor()),
      client_(std::move(client)),
      errorStream_(std::move(errors.second)),
      audioEngine_(std::move(audioEngine)),
      playerNode_(audioEngine_->makePlayerNode()),
      queuedSamples_(std::make_shared<PlaybackQueue>()),
      answerAudio_(std::make_unique<AnswerAudio>()),
      apiConverter_(std::make_shared<platform::UnsafeInteriorMutable<platform::AudioConverter>>()),
      userConverter_(std::make_shared<platform::UnsafeInteriorMutable<platform::AudioConverter>>()),
      microphone_(std::make_shared<MicrophoneStream>(shared_, client_, userConverter_, desiredFormat())),
      errors_(std::move(errors.first)),
      refresherArmed_(std::make_shared<std::atomic<bool>>(false)) {}

void Conversation::start() {
    if (client_) startReceiving();
    // Called on an engine thread: it only posts, holding the conversation weakly.
    audioEngine_->setFailureHandler([weak = weak_from_this(), main = main_](const std::string& reason) {
        asio::post(main, [weak, failure = std::make_exception_ptr(platform::SoundServerLostError(reason))] {
            if (auto conversation = weak.lock()) conversation->audioError_ = failure;
        });
    });
    // Set up on the main executor once the creator has the conversation in hand.
    asio::post(main_, [self = shared_from_this()] {
        if (self->client_) self->watchDisconnect();
        self->armPlayingRefresher();
    });
}

void Conversation::startReceiving() {
    // On the main executor, where the events are handled: each event is one hop from the socket's
    // thread, not a hop there and one back to the shared executor for the next.
    task_ = platform::spawnTask(main_, receiveEvents(client_->events(), weak_from_this()));
}

void Conversation::watchDisconnect() {
    client_->onDisconnect([weak = weak_from_this(), main = main_] {
        asio::post(main, [weak] {
            if (auto conversation = weak.lock()) conversation->connected_ = false;
        });
    });
}

Conversation::~Conversation() {
    task_.cancel();
    errorStream_.finish();
    microphone_->close();
    queuedSamples_->setObserver(nullptr);
    // Stopping the engine joins its threads; do it away from the main executor. The task holds the
    // engine and the player, not the conversation.
    asio::post(shared_, [player = playerNode_, engine = audioEngine_] { cleanUpAudio(*player, *engine); });
    // Releasing the client closes the connection.
}

// --- Observable state

std::vector<Item::Message> Conversation::messages() const {
    std::vector<Item::Message> messages;
    for (const auto& item : entries_.get()) {
        if (const auto* message = std::get_if<Item::Message>(&item.value)) messages.push_back(*message);
    }
    return messages;
}

std::vector<std::string> Conversation::queuedSamples() const { return queuedSamples_->ids(); }

void Conversation::armPlayingRefresher() {
    // isPlaying follows the queue one hop late. The queue tells of a change after making it, from
    // whatever thread made it; the refresh re-arms before it reads, so no change is missed.
    auto armed = refresherArmed_;
    queuedSamples_->setObserver([weak = weak_from_this(), main = main_, armed] {
        if (!armed->exchange(false)) return;
        asio::post(main, [weak, armed] {
            auto conversation = weak.lock();
            if (!conversation) return;
            armed->store(true);
            conversation->isPlaying_ = !conversation->queuedSamples_->empty();
        });
    });
    armed->store(true);
}

// --- Events

asio::awaitable<void> Conversation::receiveEvents(platform::AsyncStream<ServerEvent> events,
                                                  std::weak_ptr<Conversation> weak) {
    std::exception_ptr failure;
    try {
        for (;;) {
            auto event = co_await events.next();
            if (!event) break;
            if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) co_return;
            if (auto conversation = weak.lock()) conversation->handleEvent(*event);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // Cancelled by the conversation's teardown: nobody is left to tell.
    if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) co_return;
    if (auto conversation = weak.lock()) conversation->eventStreamEnded(failure);
}

void Conversation::eventStreamEnded(std::exception_ptr failure) {
    eventStreamEnded_ = true;
    if (failure) connectionError_ = failure;
    connected_ = false;
}

std::optional<std::size_t> Conversation::indexOf(const std::string& itemId) const {
    const auto& entries = entries_.get();
    for (std::size_t index = 0; index < entries.size(); ++index) {
        if (entries[index].id() == itemId) return index;
    }
    return std::nullopt;
}

template <class Edit>
void Conversation::updateMessage(const std::string& itemId, Edit&& edit) {
    auto index = indexOf(itemId);
    if (!index || entries_.get()[*index].kind() != Item::Kind::message) return;
    entries_.modify([&](std::vector<Item>& entries) { edit(std::get<Item::Message>(entries[*index].value)); });
}

template <class Edit>
void Conversation::updateFunctionCall(const std::string& itemId, Edit&& edit) {
    auto index = indexOf(itemId);
    if (!index || entries_.get()[*index].kind() != Item::Kind::functionCall) return;
    entries_.modify([&](std::vector<Item>& entries) { edit(std::get<Item::FunctionCall>(entries[*index].value)); });
}

void Conversation::handleEvent(const ServerEvent& event) {
    using Kind = ServerEvent::Kind;
    switch (event.kind()) {
    case Kind::error:
        errorStream_.yield(event.get<Kind::error>().error);
        break;
    case Kind::sessionCreated:
        connected_ = true;
        session_ = event.get<Kind::sessionCreated>().session;
        break;
    case Kind::sessionUpdated:
        session_ = event.get<Kind::sessionUpdated>().session;
        break;
    case Kind::conversationCreated:
        id_ = event.get<Kind::conversationCreated>().conversation.id;
        break;
    case Kind::inputAudioBufferSpeechStarted:
        isUserSpeaking_ = true;
        if (handlingVoice_) interruptSpeech();
        break;
    case Kind::inputAudioBufferSpeechStopped:
        isUserSpeaking_ = false;
        break;
    case Kind::conversationItemCreated: {
        const auto& item = event.get<Kind::conversationItemCreated>().item;
        entries_.modify([&](std::vector<Item>& entries) { entries.push_back(item); });
        break;
    }
    case Kind::conversationItemInputAudioTranscriptionCompleted: {
        const auto& payload = event.get<Kind::conversationItemInputAudioTranscriptionCompleted>();
        updateMessage(payload.itemId, [&](Item::Message& message) {
            auto* content = contentAt(message, payload.contentIndex);
            if (content && content->kind() == Item::Message::Content::Kind::input_audio) {
                content->audio()->transcript = payload.transcript;
            }
        });
        break;
    }
    case Kind::conversationItemInputAudioTranscriptionFailed:
        errorStream_.yield(event.get<Kind::conversationItemInputAudioTranscriptionFailed>().error);
        break;
    case Kind::conversationItemDeleted: {
        const auto& itemId = event.get<Kind::conversationItemDeleted>().itemId;
        entries_.modify([&](std::vector<Item>& entries) {
            std::erase_if(entries, [&](const Item& item) { return item.id() == itemId; });
        });
        break;
    }
    case Kind::responseOutputItemDone: {
        const auto& item = event.get<Kind::responseOutputItemDone>().item;
        answerAudioFinished(item.id());
        updateMessage(item.id(), [&](Item::Message& message) {
            if (const auto* done = std::get_if<Item::Message>(&item.value)) message = *done;
        });
        break;
    }
    case Kind::responseContentPartAdded: {
        const auto& payload = event.get<Kind::responseContentPartAdded>();
        updateMessage(payload.itemId, [&](Item::Message& message) {
            if (payload.contentIndex < 0 || static_cast<std::uint64_t>(payload.contentIndex) > message.content.size()) {
                return;
            }
            message.content.insert(message.content.begin() + payload.contentIndex,
                                   Item::Message::Content(payload.part));
        });
        break;
    }
    case Kind::responseContentPartDone: {
        const auto& payload = event.get<Kind::responseContentPartDone>();
        answerAudioFinished(payload.itemId);
        updateMessage(payload.itemId, [&](Item::Message& message) {
            if (auto* content = contentAt(message, payload.contentIndex)) *content = Item::Message::Content(payload.part);
        });
        break;
    }
    case Kind::responseTextDelta: {
        const auto& payload = event.get<Kind::responseTextDelta>();
        updateMessage(payload.itemId, [&](Item::Message& message) {
            auto* content = contentAt(message, payload.contentIndex);
            if (content && content->kind() == Item::Message::Content::Kind::text) content->textValue()->append(payload.delta);
        });
        break;
    }
    case Kind::responseTextDone: {
        const auto& payload = event.get<Kind::responseTextDone>();
        updateMessage(payload.itemId, [&](Item::Message& message) {
            if (auto* content = contentAt(message, payload.contentIndex)) {
                *content = Item::Message::Content::text(payload.text);
            }
        });
        break;
    }
    case Kind::responseAudioTranscriptDelta: {
        const auto& payload = event.get<Kind::responseAudioTranscriptDelta>();
        updateMessage(payload.itemId, [&](Item::Message& message) {
            auto* content = contentAt(message, payload.contentIndex);
            if (content && content->kind() == Item::Message::Content::Kind::audio) {
                auto& transcript = content->audio()->transcript;
                if (transcript) {
                    transcript->append(payload.delta);
                } else {
                    transcript = payload.delta;
                }
            }
        });
        break;
    }
    case Kind::responseAudioTranscriptDone: {
        const auto& payload = event.get<Kind::responseAudioTranscriptDone>();
        updateMessage(payload.itemId, [&](Item::Message& message) {
            auto* content = contentAt(message, payload.contentIndex);
            if (content && content->kind() == Item::Message::Content::Kind::audio) {
                content->audio()->transcript = payload.transcript;
            }
        });
        break;
    }
    case Kind::responseAudioDelta: {
        const auto& payload = event.get<Kind::responseAudioDelta>();
        updateMessage(payload.itemId, [&](Item::Message& message) {
            auto* content = contentAt(message, payload.contentIndex);
            if (!content || content->kind() != Item::Message::Content::Kind::audio) return;
            if (payload.contentIndex == 0) {
                answerAudio_->received(payload.itemId, std::int64_t(payload.delta.size() / desiredFormat().bytesPerFrame()));
            }
            if (handlingVoice_ && !answerAudio_->isInterrupted(payload.itemId)) playAudio(payload.delta, payload.itemId);
            // Appended in place, in chunks: a long answer's audio is never moved for one more delta.
            const auto keptLimit = static_cast<std::size_t>(keptAnswerAudioLimit.count()) * wireBytesPerSecond();
            const auto kept = std::min(payload.delta.size(), keptLimit - std::min(keptLimit, keptAnswerAudio_));
            content->audio()->audio.append(std::span(payload.delta).first(kept));
            keptAnswerAudio_ += kept;
        });
        break;
    }
    case Kind::responseFunctionCallArgumentsDelta: {
        const auto& payload = event.get<Kind::responseFunctionCallArgumentsDelta>();
        updateFunctionCall(payload.itemId, [&](Item::FunctionCall& call) { call.arguments.append(payload.delta); });
        break;
    }
    case Kind::responseFunctionCallArgumentsDone: {
        const auto& payload = event.get<Kind::responseFunctionCallArgumentsDone>();
        updateFunctionCall(payload.itemId, [&](Item::FunctionCall& call) { call.arguments = payload.arguments; });
        break;
    }
    case Kind::responseAudioDone:
        answerAudioFinished(event.get<Kind::responseAudioDone>().itemId);
        break;
    case Kind::responseDone:
        for (const auto& item : event.get<Kind::responseDone>().response.output) answerAudioFinished(item.id());
        break;
    case Kind::inputAudioBufferCommitted:
    case Kind::inputAudioBufferCleared:
    case Kind::conversationItemInputAudioTranscriptionDelta:
    case Kind::conversationItemTruncated:
    case Kind::outputAudioBufferStarted:
    case Kind::outputAudioBufferStopped:
    case Kind::responseCreated:
    case Kind::responseOutputItemAdded:
    case Kind::rateLimitsUpdated:
        break;
    }
}

// --- Waiting for the connection

asio::awaitable<void> Conversation::waitForConnection() {
    auto weak = weak_from_this();
    auto shared = shared_;
    for (;;) {
        {
            auto self = weak.lock();
            if (!self || self->eventStreamEnded_) throw ConversationError(ConversationError::Code::connectionEnded);
            if (self->connected_) co_return;
        }
        // A cancelled sleep ends the wait with operation_aborted.
        co_await platform::sleepFor(shared, 500ms);
    }
}

// --- Voice

void Conversation::startListening() {
    if (isListening_) return;
    if (!handlingVoice_) startHandlingVoice();
    // In place before listening counts as started: what the microphone captures from here on is
    // sent, none of it lost while a background task would still be on its way.
    microphone_->install(*audioEngine_);
    isListening_ = true;
}

void Conversation::startHandlingVoice() {
    if (handlingVoice_) return;
    auto inputFormat = audioEngine_->inputFormat();
    std::shared_ptr<platform::AudioConverter> converter;
    try {
        converter = audioEngine_->makeConverter(inputFormat, desiredFormat());
    } catch (const platform::ConverterCreationError&) {
        throw ConversationError(ConversationError::Code::converterInitializationFailed);
    }
    userConverter_->setValue(converter);
    audioEngine_->attach(playerNode_);
    audioEngine_->connect(playerNode_, converter->inputFormat());
    audioEngine_->prepare();
    try {
        audioEngine_->start();
    } catch (const std::exception& error) {
        platform::print(std::string("Failed to enable audio engine: ") + error.what());
        audioEngine_->disconnectNodeInput(*playerNode_);
        audioEngine_->disconnectNodeOutput(*playerNode_);
        throw;
    }
    handlingVoice_ = true;
}

void Conversation::stopListening() {
    if (!isListening_) return;
    microphone_->remove(*audioEngine_);
    isListening_ = false;
}

void Conversation::stopHandlingVoice() {
    if (!handlingVoice_) return;
    microphone_->remove(*audioEngine_);
    cleanUpAudio(*playerNode_, *audioEngine_);
    isListening_ = false;
    handlingVoice_ = false;
}

void Conversation::cleanUpAudio(platform::PlayerNode& playerNode, platform::AudioEngine& audioEngine) {
    if (!audioEngine.isAttached(playerNode)) return;
    audioEngine.removeTap();
    audioEngine.stop();
    audioEngine.disconnectNodeInput(playerNode);
    audioEngine.disconnectNodeOutput(playerNode);
    if (audioEngine.isRunning()) {
        audioEngine.stop();
        audioEngine.reset();
    }
}

// --- Sending

asio::awaitable<void> Conversation::updateSession(SessionChanges changes) {
    auto session = session_.get();
    if (!session) throw ConversationError(ConversationError::Code::sessionNotFound);
    co_await platform::runOn(shared_, sendSession(connection(), std::move(*session), std::move(changes)));
}

asio::awaitable<void> Conversation::setSession(Session session) {
    co_await platform::runOn(shared_, sendSession(connection(), std::move(session), nullptr));
}

asio::awaitable<void> Conversation::send(ClientEvent event) {
    std::vector<ClientEvent> events;
    events.push_back(std::move(event));
    co_await platform::runOn(shared_, sendEvents(connection(), std::move(events)));
}

asio::awaitable<void> Conversation::send(Bytes audioDelta, bool commit) {
    std::vector<ClientEvent> events;
    events.push_back(ClientEvent::appendInputAudioBuffer(std::nullopt, audioDelta));
    if (commit) events.push_back(ClientEvent::commitInputAudioBuffer(std::nullopt));
    co_await platform::runOn(shared_, sendEvents(connection(), std::move(events)));
}

asio::awaitable<void> Conversation::send(Item::ItemRole from, std::string text, std::optional<Response::Config> response) {
    if (handlingVoice_) interruptSpeech();
    co_await platform::runOn(shared_, sendMessage(connection(), from, std::move(text), std::move(response)));
}

asio::awaitable<void> Conversation::send(Item::FunctionCallOutput result) {
    std::vector<ClientEvent> events;
    events.push_back(ClientEvent::createConversationItem(std::nullopt, std::nullopt, Item(std::move(result))));
    co_await platform::runOn(shared_, sendEvents(connection(), std::move(events)));
}

}  // namespace realtime
