#pragma once
// The messages the client sends to the service. Each payload writes its "type" beside its own
// fields in one flat object; nothing decodes client events.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <variant>

#include "realtime/model/fields.hpp"
#include "realtime/model/item.hpp"
#include "realtime/model/response.hpp"
#include "realtime/model/session.hpp"

namespace realtime {

class ClientEvent {
public:
    struct SessionUpdateEvent {
        std::optional<std::string> eventId{};
        Session session{};

        bool operator==(const SessionUpdateEvent&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&SessionUpdateEvent::eventId),
                              field<"session">(&SessionUpdateEvent::session), constant<"type", "session.update">()};
        }
    };

    struct InputAudioBufferAppendEvent {
        std::optional<std::string> eventId{};
        // The audio bytes as standard base64 text.
        std::string audio{};

        bool operator==(const InputAudioBufferAppendEvent&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&InputAudioBufferAppendEvent::eventId),
                              field<"audio">(&InputAudioBufferAppendEvent::audio),
                              constant<"type", "input_audio_buffer.append">()};
        }
    };

    struct InputAudioBufferCommitEvent {
        std::optional<std::string> eventId{};

        bool operator==(const InputAudioBufferCommitEvent&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&InputAudioBufferCommitEvent::eventId),
                              constant<"type", "input_audio_buffer.commit">()};
        }
    };

    struct InputAudioBufferClearEvent {
        std::optional<std::string> eventId{};

        bool operator==(const InputAudioBufferClearEvent&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&InputAudioBufferClearEvent::eventId),
                              constant<"type", "input_audio_buffer.clear">()};
        }
    };

    struct ConversationItemCreateEvent {
        std::optional<std::string> eventId{};
        std::optional<std::string> previousItemId{};
        Item item{};

        bool operator==(const ConversationItemCreateEvent&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ConversationItemCreateEvent::eventId),
                              field<"previousItemId">(&ConversationItemCreateEvent::previousItemId),
                              field<"item">(&ConversationItemCreateEvent::item),
                              constant<"type", "conversation.item.create">()};
        }
    };

    struct ConversationItemTruncateEvent {
        std::optional<std::string> eventId{};
        std::optional<std::string> itemId{};
        std::int64_t contentIndex = 0;
        std::int64_t audioEndMs = 0;

        bool operator==(const ConversationItemTruncateEvent&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ConversationItemTruncateEvent::eventId),
                              field<"itemId">(&ConversationItemTruncateEvent::itemId),
                              field<"contentIndex">(&ConversationItemTruncateEvent::contentIndex),
                              field<"audioEndMs">(&ConversationItemTruncateEvent::audioEndMs),
                              constant<"type", "conversation.item.truncate">()};
        }
    };

    struct ConversationItemDeleteEvent {
        std::optional<std::string> eventId{};
        std::optional<std::string> itemId{};
        std::int64_t contentIndex = 0;
        std::int64_t audioEndMs = 0;

        bool operator==(const ConversationItemDeleteEvent&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ConversationItemDeleteEvent::eventId),
                              field<"itemId">(&ConversationItemDeleteEvent::itemId),
                              field<"contentIndex">(&ConversationItemDeleteEvent::contentIndex),
                              field<"audioEndMs">(&ConversationItemDeleteEvent::audioEndMs),
                              constant<"type", "conversation.item.delete">()};
        }
    };

    struct ResponseCreateEvent {
        std::optional<std::string> eventId{};
        std::optional<Response::Config> response{};

        bool operator==(const ResponseCreateEvent&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseCreateEvent::eventId),
                              field<"response">(&ResponseCreateEvent::response),
                              constant<"type", "response.create">()};
        }
    };

    struct ResponseCancelEvent {
        std::optional<std::string> eventId{};

        bool operator==(const ResponseCancelEvent&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"eventId">(&ResponseCancelEvent::eventId),
                              constant<"type", "response.cancel">()};
        }
    };

    enum class Kind {
        updateSession,
        appendInputAudioBuffer,
        commitInputAudioBuffer,
        clearInputAudioBuffer,
        createConversationItem,
        truncateConversationItem,
        deleteConversationItem,
        createResponse,
        cancelResponse,
    };
    // Alternative i is the payload of Kind i.
    using Payload = std::variant<SessionUpdateEvent, InputAudioBufferAppendEvent, InputAudioBufferCommitEvent,
                                 InputAudioBufferClearEvent, ConversationItemCreateEvent,
                                 ConversationItemTruncateEvent, ConversationItemDeleteEvent, ResponseCreateEvent,
                                 ResponseCancelEvent>;

    using Id = std::optional<std::string>;

    static ClientEvent updateSession(Id id, Session session);
    // The bytes are turned into base64 text once, here.
    static ClientEvent appendInputAudioBuffer(Id id, std::span<const std::uint8_t> encoding);
    static ClientEvent commitInputAudioBuffer(Id id = std::nullopt);
    static ClientEvent clearInputAudioBuffer(Id id = std::nullopt);
    static ClientEvent createConversationItem(Id id, std::optional<std::string> previous, Item item);
    static ClientEvent truncateConversationItem(Id id, std::string forItem, std::int64_t at,
                                                std::int64_t atAudioMs);
    static ClientEvent deleteConversationItem(Id id, std::optional<std::string> forItem, std::int64_t at,
                                              std::int64_t atAudio);
    static ClientEvent createResponse(Id id = std::nullopt, std::optional<Response::Config> config = std::nullopt);
    static ClientEvent cancelResponse(Id id = std::nullopt);

    ClientEvent(Payload payload) : payload(std::move(payload)) {}

    Kind kind() const { return static_cast<Kind>(payload.index()); }

    Payload payload;

    bool operator==(const ClientEvent&) const = default;
};

}  // namespace realtime
