#pragma once
// The messages the service sends: one case per event type, each holding a payload record whose
// fields stand beside "type" in one flat object. Events come into being by decoding.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "realtime/model/base64.hpp"
#include "realtime/model/fields.hpp"
#include "realtime/model/item.hpp"
#include "realtime/model/raw_value.hpp"
#include "realtime/model/response.hpp"
#include "realtime/model/server_error.hpp"
#include "realtime/model/session.hpp"

namespace realtime {

class ServerEvent {
public:
    struct ErrorEvent {
        std::string eventId{};
        ServerError error{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ErrorEvent::eventId), field<"error">(&ErrorEvent::error)};
        }
    };

    struct SessionEvent {
        std::string eventId{};
        Session session{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&SessionEvent::eventId), field<"session">(&SessionEvent::session)};
        }
    };

    struct ConversationCreatedEvent {
        struct Conversation {
            std::string id{};

            bool operator==(const Conversation&) const = default;
            static constexpr auto fields() { return std::tuple{field<"id">(&Conversation::id)}; }
        };

        std::string eventId{};
        Conversation conversation{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ConversationCreatedEvent::eventId), field<"conversation">(&ConversationCreatedEvent::conversation)};
        }
    };

    struct InputAudioBufferCommittedEvent {
        std::string eventId{};
        std::optional<std::string> previousItemId{};
        std::string itemId{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&InputAudioBufferCommittedEvent::eventId), field<"previousItemId">(&InputAudioBufferCommittedEvent::previousItemId), field<"itemId">(&InputAudioBufferCommittedEvent::itemId)};
        }
    };

    struct InputAudioBufferClearedEvent {
        std::string eventId{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&InputAudioBufferClearedEvent::eventId)};
        }
    };

    struct InputAudioBufferSpeechStartedEvent {
        std::string eventId{};
        std::int64_t audioStartMs = 0;
        std::string itemId{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&InputAudioBufferSpeechStartedEvent::eventId), field<"audioStartMs">(&InputAudioBufferSpeechStartedEvent::audioStartMs), field<"itemId">(&InputAudioBufferSpeechStartedEvent::itemId)};
        }
    };

    struct InputAudioBufferSpeechStoppedEvent {
        std::string eventId{};
        std::int64_t audioEndMs = 0;
        std::string itemId{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&InputAudioBufferSpeechStoppedEvent::eventId), field<"audioEndMs">(&InputAudioBufferSpeechStoppedEvent::audioEndMs), field<"itemId">(&InputAudioBufferSpeechStoppedEvent::itemId)};
        }
    };

    struct ConversationItemCreatedEvent {
        std::string eventId{};
        std::optional<std::string> previousItemId{};
        Item item{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ConversationItemCreatedEvent::eventId), field<"previousItemId">(&ConversationItemCreatedEvent::previousItemId), field<"item">(&ConversationItemCreatedEvent::item)};
        }
    };

    struct ConversationItemInputAudioTranscriptionCompletedEvent {
        std::string eventId{};
        std::string itemId{};
        std::int64_t contentIndex = 0;
        std::string transcript{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ConversationItemInputAudioTranscriptionCompletedEvent::eventId), field<"itemId">(&ConversationItemInputAudioTranscriptionCompletedEvent::itemId), field<"contentIndex">(&ConversationItemInputAudioTranscriptionCompletedEvent::contentIndex), field<"transcript">(&ConversationItemInputAudioTranscriptionCompletedEvent::transcript)};
        }
    };

    struct ConversationItemInputAudioTranscriptionDeltaEvent {
        std::string eventId{};
        std::string itemId{};
        std::int64_t contentIndex = 0;
        std::string delta{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ConversationItemInputAudioTranscriptionDeltaEvent::eventId), field<"itemId">(&ConversationItemInputAudioTranscriptionDeltaEvent::itemId), field<"contentIndex">(&ConversationItemInputAudioTranscriptionDeltaEvent::contentIndex), field<"delta">(&ConversationItemInputAudioTranscriptionDeltaEvent::delta)};
        }
    };

    struct ConversationItemInputAudioTranscriptionFailedEvent {
        std::string eventId{};
        std::string itemId{};
        std::int64_t contentIndex = 0;
        ServerError error{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ConversationItemInputAudioTranscriptionFailedEvent::eventId), field<"itemId">(&ConversationItemInputAudioTranscriptionFailedEvent::itemId), field<"contentIndex">(&ConversationItemInputAudioTranscriptionFailedEvent::contentIndex), field<"error">(&ConversationItemInputAudioTranscriptionFailedEvent::error)};
        }
    };

    struct ConversationItemTruncatedEvent {
        std::string eventId{};
        std::string itemId{};
        std::int64_t contentIndex = 0;
        std::int64_t audioEndMs = 0;

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ConversationItemTruncatedEvent::eventId), field<"itemId">(&ConversationItemTruncatedEvent::itemId), field<"contentIndex">(&ConversationItemTruncatedEvent::contentIndex), field<"audioEndMs">(&ConversationItemTruncatedEvent::audioEndMs)};
        }
    };

    struct ConversationItemDeletedEvent {
        std::string eventId{};
        std::string itemId{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ConversationItemDeletedEvent::eventId), field<"itemId">(&ConversationItemDeletedEvent::itemId)};
        }
    };

    struct OutputAudioBufferStartedEvent {
        std::string eventId{};
        std::string responseId{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&OutputAudioBufferStartedEvent::eventId), field<"responseId">(&OutputAudioBufferStartedEvent::responseId)};
        }
    };

    struct OutputAudioBufferStoppedEvent {
        std::string eventId{};
        std::string responseId{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&OutputAudioBufferStoppedEvent::eventId), field<"responseId">(&OutputAudioBufferStoppedEvent::responseId)};
        }
    };

    struct ResponseEvent {
        std::string eventId{};
        Response response{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseEvent::eventId), field<"response">(&ResponseEvent::response)};
        }
    };

    struct ResponseOutputItemAddedEvent {
        std::string eventId{};
        std::string responseId{};
        std::int64_t outputIndex = 0;
        Item item{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseOutputItemAddedEvent::eventId), field<"responseId">(&ResponseOutputItemAddedEvent::responseId), field<"outputIndex">(&ResponseOutputItemAddedEvent::outputIndex), field<"item">(&ResponseOutputItemAddedEvent::item)};
        }
    };

    struct ResponseOutputItemDoneEvent {
        std::string eventId{};
        std::string responseId{};
        std::int64_t outputIndex = 0;
        Item item{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseOutputItemDoneEvent::eventId), field<"responseId">(&ResponseOutputItemDoneEvent::responseId), field<"outputIndex">(&ResponseOutputItemDoneEvent::outputIndex), field<"item">(&ResponseOutputItemDoneEvent::item)};
        }
    };

    struct ResponseContentPartAddedEvent {
        std::string eventId{};
        std::string responseId{};
        std::string itemId{};
        std::int64_t outputIndex = 0;
        std::int64_t contentIndex = 0;
        Item::ContentPart part{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseContentPartAddedEvent::eventId), field<"responseId">(&ResponseContentPartAddedEvent::responseId), field<"itemId">(&ResponseContentPartAddedEvent::itemId), field<"outputIndex">(&ResponseContentPartAddedEvent::outputIndex), field<"contentIndex">(&ResponseContentPartAddedEvent::contentIndex), field<"part">(&ResponseContentPartAddedEvent::part)};
        }
    };

    struct ResponseContentPartDoneEvent {
        std::string eventId{};
        std::string responseId{};
        std::string itemId{};
        std::int64_t outputIndex = 0;
        std::int64_t contentIndex = 0;
        Item::ContentPart part{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseContentPartDoneEvent::eventId), field<"responseId">(&ResponseContentPartDoneEvent::responseId), field<"itemId">(&ResponseContentPartDoneEvent::itemId), field<"outputIndex">(&ResponseContentPartDoneEvent::outputIndex), field<"contentIndex">(&ResponseContentPartDoneEvent::contentIndex), field<"part">(&ResponseContentPartDoneEvent::part)};
        }
    };

    struct ResponseTextDeltaEvent {
        std::string eventId{};
        std::string responseId{};
        std::string itemId{};
        std::int64_t outputIndex = 0;
        std::int64_t contentIndex = 0;
        std::string delta{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseTextDeltaEvent::eventId), field<"responseId">(&ResponseTextDeltaEvent::responseId), field<"itemId">(&ResponseTextDeltaEvent::itemId), field<"outputIndex">(&ResponseTextDeltaEvent::outputIndex), field<"contentIndex">(&ResponseTextDeltaEvent::contentIndex), field<"delta">(&ResponseTextDeltaEvent::delta)};
        }
    };

    struct ResponseTextDoneEvent {
        std::string eventId{};
        std::string responseId{};
        std::string itemId{};
        std::int64_t outputIndex = 0;
        std::int64_t contentIndex = 0;
        std::string text{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseTextDoneEvent::eventId), field<"responseId">(&ResponseTextDoneEvent::responseId), field<"itemId">(&ResponseTextDoneEvent::itemId), field<"outputIndex">(&ResponseTextDoneEvent::outputIndex), field<"contentIndex">(&ResponseTextDoneEvent::contentIndex), field<"text">(&ResponseTextDoneEvent::text)};
        }
    };

    struct ResponseAudioTranscriptDeltaEvent {
        std::string eventId{};
        std::string responseId{};
        std::string itemId{};
        std::int64_t outputIndex = 0;
        std::int64_t contentIndex = 0;
        std::string delta{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseAudioTranscriptDeltaEvent::eventId), field<"responseId">(&ResponseAudioTranscriptDeltaEvent::responseId), field<"itemId">(&ResponseAudioTranscriptDeltaEvent::itemId), field<"outputIndex">(&ResponseAudioTranscriptDeltaEvent::outputIndex), field<"contentIndex">(&ResponseAudioTranscriptDeltaEvent::contentIndex), field<"delta">(&ResponseAudioTranscriptDeltaEvent::delta)};
        }
    };

    struct ResponseAudioTranscriptDoneEvent {
        std::string eventId{};
        std::string responseId{};
        std::string itemId{};
        std::int64_t outputIndex = 0;
        std::int64_t contentIndex = 0;
        std::string transcript{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseAudioTranscriptDoneEvent::eventId), field<"responseId">(&ResponseAudioTranscriptDoneEvent::responseId), field<"itemId">(&ResponseAudioTranscriptDoneEvent::itemId), field<"outputIndex">(&ResponseAudioTranscriptDoneEvent::outputIndex), field<"contentIndex">(&ResponseAudioTranscriptDoneEvent::contentIndex), field<"transcript">(&ResponseAudioTranscriptDoneEvent::transcript)};
        }
    };

    struct ResponseAudioDeltaEvent {
        std::string eventId{};
        std::string responseId{};
        std::string itemId{};
        std::int64_t outputIndex = 0;
        std::int64_t contentIndex = 0;
        Bytes delta{};

        // Read in this order, which decides which missing key a failure names.
        static constexpr auto fields() {
            return std::tuple{field<"itemId">(&ResponseAudioDeltaEvent::itemId), field<"eventId">(&ResponseAudioDeltaEvent::eventId), field<"outputIndex">(&ResponseAudioDeltaEvent::outputIndex), field<"responseId">(&ResponseAudioDeltaEvent::responseId), field<"contentIndex">(&ResponseAudioDeltaEvent::contentIndex), field<"delta">(&ResponseAudioDeltaEvent::delta)};
        }
    };

    struct ResponseAudioDoneEvent {
        std::string eventId{};
        std::string responseId{};
        std::string itemId{};
        std::int64_t outputIndex = 0;
        std::int64_t contentIndex = 0;

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseAudioDoneEvent::eventId), field<"responseId">(&ResponseAudioDoneEvent::responseId), field<"itemId">(&ResponseAudioDoneEvent::itemId), field<"outputIndex">(&ResponseAudioDoneEvent::outputIndex), field<"contentIndex">(&ResponseAudioDoneEvent::contentIndex)};
        }
    };

    struct ResponseFunctionCallArgumentsDeltaEvent {
        std::string eventId{};
        std::string responseId{};
        std::string itemId{};
        std::int64_t outputIndex = 0;
        std::string callId{};
        std::string delta{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseFunctionCallArgumentsDeltaEvent::eventId), field<"responseId">(&ResponseFunctionCallArgumentsDeltaEvent::responseId), field<"itemId">(&ResponseFunctionCallArgumentsDeltaEvent::itemId), field<"outputIndex">(&ResponseFunctionCallArgumentsDeltaEvent::outputIndex), field<"callId">(&ResponseFunctionCallArgumentsDeltaEvent::callId), field<"delta">(&ResponseFunctionCallArgumentsDeltaEvent::delta)};
        }
    };

    struct ResponseFunctionCallArgumentsDoneEvent {
        std::string eventId{};
        std::string responseId{};
        std::string itemId{};
        std::int64_t outputIndex = 0;
        std::string callId{};
        std::string arguments{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseFunctionCallArgumentsDoneEvent::eventId), field<"responseId">(&ResponseFunctionCallArgumentsDoneEvent::responseId), field<"itemId">(&ResponseFunctionCallArgumentsDoneEvent::itemId), field<"outputIndex">(&ResponseFunctionCallArgumentsDoneEvent::outputIndex), field<"callId">(&ResponseFunctionCallArgumentsDoneEvent::callId), field<"arguments">(&ResponseFunctionCallArgumentsDoneEvent::arguments)};
        }
    };

    struct RateLimitsUpdatedEvent {
        struct RateLimit {
            std::string name{};
            std::int64_t limit = 0;
            std::int64_t remaining = 0;
            double resetSeconds = 0;

            bool operator==(const RateLimit&) const = default;
            static constexpr auto fields() {
                return std::tuple{field<"name">(&RateLimit::name), field<"limit">(&RateLimit::limit),
                                  field<"remaining">(&RateLimit::remaining),
                                  field<"resetSeconds">(&RateLimit::resetSeconds)};
            }
        };

        std::string eventId{};
        std::vector<RateLimit> rateLimits{};

        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&RateLimitsUpdatedEvent::eventId), field<"rateLimits">(&RateLimitsUpdatedEvent::rateLimits)};
        }
    };

    enum class Kind {
        error,
        sessionCreated,
        sessionUpdated,
        conversationCreated,
        inputAudioBufferCommitted,
        inputAudioBufferCleared,
        inputAudioBufferSpeechStarted,
        inputAudioBufferSpeechStopped,
        conversationItemCreated,
        conversationItemInputAudioTranscriptionCompleted,
        conversationItemInputAudioTranscriptionDelta,
        conversationItemInputAudioTranscriptionFailed,
        conversationItemTruncated,
        conversationItemDeleted,
        outputAudioBufferStarted,
        outputAudioBufferStopped,
        responseCreated,
        responseDone,
        responseOutputItemAdded,
        responseOutputItemDone,
        responseContentPartAdded,
        responseContentPartDone,
        responseTextDelta,
        responseTextDone,
        responseAudioTranscriptDelta,
        responseAudioTranscriptDone,
        responseAudioDelta,
        responseAudioDone,
        responseFunctionCallArgumentsDelta,
        responseFunctionCallArgumentsDone,
        rateLimitsUpdated,
    };

    // Alternative i is the payload of Kind i; the paired cases share their payload type.
    using Payload = std::variant<
        ErrorEvent,
        SessionEvent,
        SessionEvent,
        ConversationCreatedEvent,
        InputAudioBufferCommittedEvent,
        InputAudioBufferClearedEvent,
        InputAudioBufferSpeechStartedEvent,
        InputAudioBufferSpeechStoppedEvent,
        ConversationItemCreatedEvent,
        ConversationItemInputAudioTranscriptionCompletedEvent,
        ConversationItemInputAudioTranscriptionDeltaEvent,
        ConversationItemInputAudioTranscriptionFailedEvent,
        ConversationItemTruncatedEvent,
        ConversationItemDeletedEvent,
        OutputAudioBufferStartedEvent,
        OutputAudioBufferStoppedEvent,
        ResponseEvent,
        ResponseEvent,
        ResponseOutputItemAddedEvent,
        ResponseOutputItemDoneEvent,
        ResponseContentPartAddedEvent,
        ResponseContentPartDoneEvent,
        ResponseTextDeltaEvent,
        ResponseTextDoneEvent,
        ResponseAudioTranscriptDeltaEvent,
        ResponseAudioTranscriptDoneEvent,
        ResponseAudioDeltaEvent,
        ResponseAudioDoneEvent,
        ResponseFunctionCallArgumentsDeltaEvent,
        ResponseFunctionCallArgumentsDoneEvent,
        RateLimitsUpdatedEvent>;

    template <Kind K>
    using PayloadOf = std::variant_alternative_t<static_cast<std::size_t>(K), Payload>;

    template <Kind K>
    static ServerEvent make(PayloadOf<K> payload) {
        return ServerEvent(Payload(std::in_place_index<static_cast<std::size_t>(K)>, std::move(payload)));
    }

    Kind kind() const { return static_cast<Kind>(payload_.index()); }
    // The event_id of the payload.
    const std::string& id() const;
    const Payload& payload() const { return payload_; }
    // A receiver that owns the event may move parts (audio bytes) out of it.
    Payload& payload() { return payload_; }

    template <Kind K>
    const PayloadOf<K>* getIf() const {
        return std::get_if<static_cast<std::size_t>(K)>(&payload_);
    }
    template <Kind K>
    const PayloadOf<K>& get() const {
        return std::get<static_cast<std::size_t>(K)>(payload_);
    }
    template <Kind K>
    PayloadOf<K>& get() {
        return std::get<static_cast<std::size_t>(K)>(payload_);
    }
    template <Kind K>
    PayloadOf<K>* getIf() {
        return std::get_if<static_cast<std::size_t>(K)>(&payload_);
    }

private:
    explicit ServerEvent(Payload payload) : payload_(std::move(payload)) {}

    Payload payload_;
};

// The "type" text of each case.
template <>
struct RawValues<ServerEvent::Kind> {
    static constexpr std::string_view typeName = "ServerEvent";
    static constexpr std::array<std::string_view, 31> texts{
        "error",
        "session.created",
        "session.updated",
        "conversation.created",
        "input_audio_buffer.committed",
        "input_audio_buffer.cleared",
        "input_audio_buffer.speech_started",
        "input_audio_buffer.speech_stopped",
        "conversation.item.created",
        "conversation.item.input_audio_transcription.completed",
        "conversation.item.input_audio_transcription.delta",
        "conversation.item.input_audio_transcription.failed",
        "conversation.item.truncated",
        "conversation.item.deleted",
        "output_audio_buffer.started",
        "output_audio_buffer.stopped",
        "response.created",
        "response.done",
        "response.output_item.added",
        "response.output_item.done",
        "response.content_part.added",
        "response.content_part.done",
        "response.text.delta",
        "response.text.done",
        "response.audio_transcript.delta",
        "response.audio_transcript.done",
        "response.audio.delta",
        "response.audio.done",
        "response.function_call_arguments.delta",
        "response.function_call_arguments.done",
        "rate_limits.updated"};
};

}  // namespace realtime
