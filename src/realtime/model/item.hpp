#pragma once
// Conversation items: messages with their content, function calls the model asks for, and the
// outputs returned for them.

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "realtime/model/audio_bytes.hpp"
#include "realtime/model/base64.hpp"
#include "realtime/model/fields.hpp"
#include "realtime/model/raw_value.hpp"

namespace realtime {

struct Item {
    enum class ItemStatus { completed, in_progress, incomplete };
    enum class ItemRole { user, system, assistant };

    // Audio bytes (base64 on the wire) with an optional transcript. A missing or null "audio" reads
    // as no bytes; a missing transcript is written as null.
    struct Audio {
        AudioBytes audio{};
        std::optional<std::string> transcript{};

        bool operator==(const Audio&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"audio">(&Audio::audio, FieldRule::absentAsEmpty),
                              field<"transcript">(&Audio::transcript, FieldRule::nullWhenAbsent)};
        }
    };

    // The content of the server's content-part events: text or audio.
    class ContentPart {
    public:
        enum class Kind { text, audio };

        ContentPart() = default;
        static ContentPart text(std::string text) { return ContentPart(std::move(text)); }
        static ContentPart audio(Audio audio) { return ContentPart(std::move(audio)); }

        Kind kind() const { return static_cast<Kind>(value_.index()); }
        // The text of a text part; none for audio.
        const std::string* text() const { return std::get_if<std::string>(&value_); }
        // The audio of an audio part; none for text.
        const Audio* audio() const { return std::get_if<Audio>(&value_); }

        bool operator==(const ContentPart&) const = default;

    private:
        explicit ContentPart(std::string text) : value_(std::move(text)) {}
        explicit ContentPart(Audio audio) : value_(std::move(audio)) {}

        std::variant<std::string, Audio> value_;
    };

    struct Message {
        // One content entry. To change an entry, replace it with one of the same kind.
        class Content {
        public:
            enum class Kind { text, audio, input_text, input_audio };

            Content() = default;
            static Content text(std::string text) { return Content(Kind::text, std::move(text)); }
            static Content audio(Audio audio) { return Content(Kind::audio, std::move(audio)); }
            static Content input_text(std::string text) { return Content(Kind::input_text, std::move(text)); }
            static Content input_audio(Audio audio) { return Content(Kind::input_audio, std::move(audio)); }
            // A text part becomes a text entry and an audio part an audio entry.
            explicit Content(const ContentPart& part);

            Kind kind() const { return kind_; }
            // The text of a text entry, or the transcript of an audio entry (none when it has none).
            std::optional<std::string> text() const;
            // The audio of an audio entry; none for text entries.
            const Audio* audio() const { return std::get_if<Audio>(&value_); }
            Audio* audio() { return std::get_if<Audio>(&value_); }
            // The text of a text entry; none for audio entries.
            const std::string* textValue() const { return std::get_if<std::string>(&value_); }
            std::string* textValue() { return std::get_if<std::string>(&value_); }

            bool operator==(const Content&) const = default;

        private:
            Content(Kind kind, std::variant<std::string, Audio> value) : kind_(kind), value_(std::move(value)) {}

            Kind kind_ = Kind::text;
            std::variant<std::string, Audio> value_;
        };

        Message() = default;
        // A message with status completed.
        Message(std::string id, OpenEnum<ItemRole> role, std::vector<Content> content)
            : id(std::move(id)), role(std::move(role)), content(std::move(content)) {}

        std::string id{};
        OpenEnum<ItemStatus> status = ItemStatus::completed;
        OpenEnum<ItemRole> role = ItemRole::user;
        std::vector<Content> content{};

        // "message" unless decoded from an object that said otherwise.
        const std::string& type() const { return type_; }

        bool operator==(const Message&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"id">(&Message::id), field<"type">(&Message::type_),
                              field<"status">(&Message::status), field<"role">(&Message::role),
                              field<"content">(&Message::content)};
        }

    private:
        std::string type_ = "message";
    };

    struct FunctionCall {
        FunctionCall() = default;
        FunctionCall(std::string id, OpenEnum<ItemStatus> status, std::string callId, std::string name, std::string arguments)
            : id(std::move(id)),
              status(std::move(status)),
              callId(std::move(callId)),
              name(std::move(name)),
              arguments(std::move(arguments)) {}

        std::string id{};
        OpenEnum<ItemStatus> status = ItemStatus::completed;
        std::string callId{};
        std::string name{};
        std::string arguments{};

        const std::string& type() const { return type_; }

        bool operator==(const FunctionCall&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"id">(&FunctionCall::id),         field<"type">(&FunctionCall::type_),
                              field<"status">(&FunctionCall::status), field<"callId">(&FunctionCall::callId),
                              field<"name">(&FunctionCall::name),     field<"arguments">(&FunctionCall::arguments)};
        }

    private:
        std::string type_ = "function_call";
    };

    struct FunctionCallOutput {
        FunctionCallOutput() = default;
        FunctionCallOutput(std::string id, std::string callId, std::string output)
            : id(std::move(id)), callId(std::move(callId)), output(std::move(output)) {}

        std::string id{};
        std::string callId{};
        std::string output{};

        const std::string& type() const { return type_; }

        bool operator==(const FunctionCallOutput&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"id">(&FunctionCallOutput::id), field<"type">(&FunctionCallOutput::type_),
                              field<"callId">(&FunctionCallOutput::callId),
                              field<"output">(&FunctionCallOutput::output)};
        }

    private:
        std::string type_ = "function_call_output";
    };

    enum class Kind { message, functionCall, functionCallOutput };
    using Value = std::variant<Message, FunctionCall, FunctionCallOutput>;

    Item() : value(Message()) {}
    Item(Message message) : value(std::move(message)) {}
    Item(FunctionCall call) : value(std::move(call)) {}
    Item(FunctionCallOutput output) : value(std::move(output)) {}

    Kind kind() const { return static_cast<Kind>(value.index()); }
    // The id of the wrapped record.
    const std::string& id() const;

    Value value;

    bool operator==(const Item&) const = default;
};

template <>
struct RawValues<Item::ItemStatus> {
    static constexpr std::string_view typeName = "ItemStatus";
    static constexpr std::array<std::string_view, 3> texts{"completed", "in_progress", "incomplete"};
};
template <>
struct RawValues<Item::ItemRole> {
    static constexpr std::string_view typeName = "ItemRole";
    static constexpr std::array<std::string_view, 3> texts{"user", "system", "assistant"};
};

}  // namespace realtime
