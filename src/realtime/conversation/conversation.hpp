#pragma once
// One live conversation with the realtime speech service. It owns the connection, turns the
// server's events into observable state (the connection flag, the session, the conversation's id,
// its items, whether the user speaks and whether the model's speech plays), hands the errors the
// server reports out on a stream of their own, streams the microphone and plays the model's speech
// through an audio engine, and offers the operations that send client events.
//
// Threads: a conversation is confined to the main executor. Create it, read its state, call its
// operations and co_await its coroutines there. Its observable fields announce a change to their
// observers (platform::Tracked) synchronously on the main executor. Audio callbacks never own the
// conversation: they work on shared pieces of it and post to the executors.
//
// Lifetime: the owner holds it through std::shared_ptr. Dropping the last reference tears it down:
// the event task is cancelled, `errors` ends, the audio engine is stopped on a background task and
// the connection is closed (code 1001).

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio/audio_engine.hpp"
#include "platform/runtime/async_stream.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/tracked.hpp"
#include "platform/runtime/unsafe_interior_mutable.hpp"
#include "realtime/model/client_event.hpp"
#include "realtime/model/item.hpp"
#include "realtime/model/response.hpp"
#include "realtime/model/server_error.hpp"
#include "realtime/model/server_event.hpp"
#include "realtime/model/session.hpp"
#include "realtime/transport/connector.hpp"
#include "realtime/transport/realtime_api.hpp"

namespace realtime {

class PlaybackQueue;
class MicrophoneStream;
class AnswerAudio;

class ConversationError : public std::runtime_error {
public:
    enum class Code {
        // updateSession() before the server announced a session.
        sessionNotFound,
        // startHandlingVoice() cannot make the converter from the microphone's format.
        converterInitializationFailed,
        // A wait for the connection ended because the connection (or the conversation) ended first.
        connectionEnded,
        // A send by a conversation that has not been given its connection yet.
        notConnected,
    };

    explicit ConversationError(Code code);
    Code code() const noexcept { return code_; }

    friend bool operator==(const ConversationError& a, const ConversationError& b) { return a.code_ == b.code_; }

private:
    Code code_;
};

class Conversation : public std::enable_shared_from_this<Conversation> {
    struct Private {};

public:
    using SessionChanges = std::function<void(Session&)>;

    // Connects to the realtime service with the credential and model name. The connection opens in
    // the background; only a credential that cannot go into a header fails here
    // (InvalidCredentialError). Without an engine the system's sound server is used.
    static std::shared_ptr<Conversation> create(platform::Runtime& runtime, const std::string& authToken,
                                                const std::string& model,
                                                std::shared_ptr<platform::AudioEngine> audioEngine = nullptr);
    // Runs over the given connector (or façade), e.g. one connected to a test server; the engine
    // defaults as above.
    static std::shared_ptr<Conversation> create(platform::Runtime& runtime, std::shared_ptr<Connector> connector,
                                                std::shared_ptr<platform::AudioEngine> audioEngine = nullptr);
    static std::shared_ptr<Conversation> create(platform::Runtime& runtime, std::shared_ptr<RealtimeAPI> client,
                                                std::shared_ptr<platform::AudioEngine> audioEngine = nullptr);
    // A conversation whose connection is opened later, by connect(): it can listen at once, and
    // what the microphone captures meanwhile waits in its bounded backlog. Dropping it before
    // then drops that audio.
    static std::shared_ptr<Conversation> createUnconnected(platform::Runtime& runtime,
                                                           std::shared_ptr<platform::AudioEngine> audioEngine = nullptr);

    // Gives a conversation made without a connection its connection: the server's events are
    // handled from now on, and the audio captured so far goes out first, in capture order.
    // Throws std::logic_error when the conversation has one already; the credential form throws
    // as create() does.
    void connect(std::shared_ptr<RealtimeAPI> client);
    void connect(const std::string& authToken, const std::string& model);

    Conversation(Private, platform::Runtime& runtime, std::shared_ptr<RealtimeAPI> client,
                 std::shared_ptr<platform::AudioEngine> audioEngine);
    ~Conversation();
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    // Observable state.
    const platform::Tracked<std::optional<std::string>>& id() const { return id_; }
    // The session configuration the server last announced.
    const platform::Tracked<std::optional<Session>>& session() const { return session_; }
    // The conversation's items in the order the server created them.
    const platform::Tracked<std::vector<Item>>& entries() const { return entries_; }
    // True from the server's first "session.created" until the connection ends.
    const platform::Tracked<bool>& connected() const { return connected_; }
    // The microphone tap is installed (or being installed).
    const platform::Tracked<bool>& isListening() const { return isListening_; }
    // The audio engine runs with the player connected.
    const platform::Tracked<bool>& handlingVoice() const { return handlingVoice_; }
    // Between the server's speech-started and speech-stopped events.
    const platform::Tracked<bool>& isUserSpeaking() const { return isUserSpeaking_; }
    // Response audio is queued on the player.
    const platform::Tracked<bool>& isPlaying() const { return isPlaying_; }
    // Why the connection's event stream failed (a transport or decoding error); null while it has
    // not. When it fails, `connected` becomes false at the same time.
    const platform::Tracked<std::exception_ptr>& connectionError() const { return connectionError_; }
    // Why the audio engine stopped by itself (platform::SoundServerLostError: its sound server went
    // away and did not come back); null while it has not. The microphone and the player are gone.
    const platform::Tracked<std::exception_ptr>& audioError() const { return audioError_; }

    // The item ids of the response-audio buffers scheduled on the player, oldest first.
    std::vector<std::string> queuedSamples() const;

    // The entries that are messages, in order.
    std::vector<Item::Message> messages() const;

    // The errors the server reports, in arrival order, nothing dropped. One consumer; it ends when
    // the conversation is torn down.
    platform::AsyncStream<ServerError> errors() const { return errors_; }

    // Waits until `connected` is true, looking every half second. Ends with
    // ConversationError(connectionEnded) when the event stream ends first or the conversation is
    // dropped meanwhile (the wait does not keep it alive), and with operation_aborted when the
    // waiting task is cancelled.
    boost::asio::awaitable<void> waitForConnection();

    // Waits as waitForConnection() does, then awaits `callback()` (returning awaitable<void>) and
    // passes its failure on unchanged.
    template <class Callback>
    boost::asio::awaitable<void> whenConnected(Callback callback) {
        co_await waitForConnection();
        co_await callback();
    }

    // Voice. startListening() builds the audio graph when needed, then installs the microphone tap
    // in the background. Both may fail with ConversationError(converterInitializationFailed) or the
    // engine's error (platform::AudioError); the flags are then unchanged.
    void startListening();
    void startHandlingVoice();
    // Removes the microphone tap; the engine keeps running and the player stays connected.
    void stopListening();
    // Tears the audio graph down.
    void stopHandlingVoice();
    static void cleanUpAudio(platform::PlayerNode& playerNode, platform::AudioEngine& audioEngine);

    // Sending. Each runs its sends off the main executor and fails with the first send's failure.
    // Sends a copy of the known session, edited by `changes` (off the main executor), as
    // "session.update". Fails with ConversationError(sessionNotFound) before any session is known.
    boost::asio::awaitable<void> updateSession(SessionChanges changes);
    // Sends the session (without its id) as "session.update".
    boost::asio::awaitable<void> setSession(Session session);
    boost::asio::awaitable<void> send(ClientEvent event);
    // Appends audio in the session's input format; with `commit`, commits the buffer afterwards.
    boost::asio::awaitable<void> send(Bytes audioDelta, bool commit = false);
    // Adds a text message (interrupting the model's speech first when voice is on) and asks for a
    // response.
    boost::asio::awaitable<void> send(Item::ItemRole from, std::string text,
                                      std::optional<Response::Config> response = std::nullopt);
    // Returns a function call's output; no response is asked for.
    boost::asio::awaitable<void> send(Item::FunctionCallOutput result);

    // Stops the model's speech: tells the server how much of the playing item the user heard
    // ("conversation.item.truncate"), stops the player and empties the playback queue.
    void interruptSpeech();

    // The wire audio format: 16-bit PCM, 24 kHz, mono.
    static platform::AudioFormat desiredFormat();

    // A call keeps at most this much of the model's answer audio in its entries; later deltas
    // are still played, but not kept.
    static constexpr std::chrono::seconds keptAnswerAudioLimit{600};
    // At most this much answer audio waits on the player; a delta beyond it is not played.
    static constexpr std::chrono::seconds queuedPlaybackLimit{300};

private:
    // Bytes of wire audio a second.
    static std::size_t wireBytesPerSecond();

    using ErrorStreamPair = std::pair<platform::AsyncStream<ServerError>, platform::AsyncStream<ServerError>::Continuation>;
    Conversation(platform::Runtime& runtime, std::shared_ptr<RealtimeAPI> client,
                 std::shared_ptr<platform::AudioEngine> audioEngine, ErrorStreamPair errors);

    // Runs on the main executor: receives the connection's events and has the conversation handle
    // each of them, one at a time, holding the conversation only weakly.
    static boost::asio::awaitable<void> receiveEvents(platform::AsyncStream<ServerEvent> events,
                                                      std::weak_ptr<Conversation> weak);
    void start();
    // Starts handling the connection's events and passes its end on to `connected`.
    void startReceiving();
    void watchDisconnect();
    // The connection for a send; throws ConversationError(notConnected) while there is none.
    std::shared_ptr<RealtimeAPI> connection() const;
    void handleEvent(const ServerEvent& event);
    void eventStreamEnded(std::exception_ptr failure);
    void armPlayingRefresher();
    // Playback of the answers' audio and its truncation (conversation_playback.cpp).
    void playAudio(const Bytes& audio, const std::string& itemId);
    // No more audio comes for the item: what is held back of it plays now.
    void answerAudioFinished(const std::string& itemId);
    void startPlayout();
    // Starts the player once the playout lead has passed, unless it started or stopped before.
    void holdPlayout();
    // Tells the service how much the user heard of the item playing now.
    void truncateHeardItem();
    // Where the first entry with this id stands.
    std::optional<std::size_t> indexOf(const std::string& itemId) const;
    // Applies `edit` to the first entry with the id if it is a message (function call); the list
    // then announces a change, even when the edit changed nothing.
    template <class Edit>
    void updateMessage(const std::string& itemId, Edit&& edit);
    template <class Edit>
    void updateFunctionCall(const std::string& itemId, Edit&& edit);

    boost::asio::any_io_executor main_;
    boost::asio::any_io_executor shared_;
    std::shared_ptr<RealtimeAPI> client_;
    bool isInterrupting_ = false;
    platform::AsyncStream<ServerError>::Continuation errorStream_;
    platform::TaskHandle task_;
    std::shared_ptr<platform::AudioEngine> audioEngine_;
    std::shared_ptr<platform::PlayerNode> playerNode_;
    std::shared_ptr<PlaybackQueue> queuedSamples_;
    std::unique_ptr<AnswerAudio> answerAudio_;
    std::shared_ptr<platform::UnsafeInteriorMutable<platform::AudioConverter>> apiConverter_;
    std::shared_ptr<platform::UnsafeInteriorMutable<platform::AudioConverter>> userConverter_;
    std::shared_ptr<MicrophoneStream> microphone_;
    platform::AsyncStream<ServerError> errors_;

    platform::Tracked<std::optional<std::string>> id_;
    platform::Tracked<std::optional<Session>> session_;
    platform::Tracked<std::vector<Item>> entries_;
    platform::Tracked<bool> connected_{false};
    platform::Tracked<bool> isListening_{false};
    platform::Tracked<bool> handlingVoice_{false};
    platform::Tracked<bool> isUserSpeaking_{false};
    platform::Tracked<bool> isPlaying_{false};
    platform::Tracked<std::exception_ptr> connectionError_;
    platform::Tracked<std::exception_ptr> audioError_;

    // Set once the event stream has ended, however it ended.
    bool eventStreamEnded_ = false;
    // Bytes of answer audio kept in the entries, and whether a dropped delta has been reported.
    std::size_t keptAnswerAudio_ = 0;
    bool reportedAudioDropped_ = false;
    std::shared_ptr<std::atomic<bool>> refresherArmed_;
};

}  // namespace realtime
