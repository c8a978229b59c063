#pragma once
// One turn of output of the service (Response), and the parameters a client may give for one
// response it asks for (Response::Config).

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "realtime/model/fields.hpp"
#include "realtime/model/item.hpp"
#include "realtime/model/raw_value.hpp"
#include "realtime/model/session.hpp"

namespace realtime {

struct Response {
    enum class Status { failed, completed, cancelled, incomplete, inProgress };

    struct Usage {
        struct InputTokenDetails {
            struct CachedTokensDetails {
                std::int64_t textTokens = 0;
                std::int64_t audioTokens = 0;

                bool operator==(const CachedTokensDetails&) const = default;
                static constexpr auto fields() {
                    return std::tuple{field<"textTokens">(&CachedTokensDetails::textTokens),
                                      field<"audioTokens">(&CachedTokensDetails::audioTokens)};
                }
            };

            std::int64_t textTokens = 0;
            std::int64_t audioTokens = 0;
            std::int64_t cachedTokens = 0;
            std::optional<CachedTokensDetails> cachedTokensDetails{};

            bool operator==(const InputTokenDetails&) const = default;
            static constexpr auto fields() {
                return std::tuple{field<"textTokens">(&InputTokenDetails::textTokens),
                                  field<"audioTokens">(&InputTokenDetails::audioTokens),
                                  field<"cachedTokens">(&InputTokenDetails::cachedTokens),
                                  field<"cachedTokensDetails">(&InputTokenDetails::cachedTokensDetails)};
            }
        };

        struct OutputTokenDetails {
            std::int64_t textTokens = 0;
            std::int64_t audioTokens = 0;

            bool operator==(const OutputTokenDetails&) const = default;
            static constexpr auto fields() {
                return std::tuple{field<"textTokens">(&OutputTokenDetails::textTokens),
                                  field<"audioTokens">(&OutputTokenDetails::audioTokens)};
            }
        };

        std::int64_t totalTokens = 0;
        std::int64_t inputTokens = 0;
        std::int64_t outputTokens = 0;
        // The service leaves the details out at times; absent then.
        std::optional<InputTokenDetails> inputTokenDetails{};
        std::optional<OutputTokenDetails> outputTokenDetails{};

        bool operator==(const Usage&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"totalTokens">(&Usage::totalTokens), field<"inputTokens">(&Usage::inputTokens),
                              field<"outputTokens">(&Usage::outputTokens),
                              field<"inputTokenDetails">(&Usage::inputTokenDetails),
                              field<"outputTokenDetails">(&Usage::outputTokenDetails)};
        }
    };

    // The parameters of one response.
    struct Config {
        enum class Conversation { auto_, none };

        std::vector<OpenEnum<Session::Modality>> modalities{};
        std::string instructions{};
        OpenEnum<Session::Voice> voice = Session::Voice::alloy;
        OpenEnum<Session::AudioFormat> outputAudioFormat = Session::AudioFormat::pcm16;
        std::vector<Tool> tools{};
        ToolChoice toolChoice{};
        double temperature = 0.8;
        std::optional<std::int64_t> maxResponseOutputTokens{};
        std::optional<OpenEnum<Conversation>> conversation{};
        std::optional<std::map<std::string, std::string>> metadata{};
        std::optional<std::vector<Item>> input{};

        bool operator==(const Config&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"modalities">(&Config::modalities),
                              field<"instructions">(&Config::instructions),
                              field<"voice">(&Config::voice),
                              field<"outputAudioFormat">(&Config::outputAudioFormat),
                              field<"tools">(&Config::tools),
                              field<"toolChoice">(&Config::toolChoice),
                              field<"temperature">(&Config::temperature),
                              field<"maxResponseOutputTokens">(&Config::maxResponseOutputTokens),
                              field<"conversation">(&Config::conversation),
                              field<"metadata">(&Config::metadata),
                              field<"input">(&Config::input)};
        }
    };

    std::string id{};
    OpenEnum<Status> status = Status::inProgress;
    std::vector<Item> output{};
    std::optional<Usage> usage{};
    // Keys travel exactly as stored.
    std::optional<std::map<std::string, std::string>> metadata{};

    bool operator==(const Response&) const = default;
    static constexpr auto fields() {
        return std::tuple{field<"id">(&Response::id), field<"status">(&Response::status),
                          field<"output">(&Response::output), field<"usage">(&Response::usage),
                          field<"metadata">(&Response::metadata)};
    }
};

template <>
struct RawValues<Response::Status> {
    static constexpr std::string_view typeName = "Status";
    static constexpr std::array<std::string_view, 5> texts{"failed", "completed", "cancelled", "incomplete",
                                                           "in_progress"};
};
template <>
struct RawValues<Response::Config::Conversation> {
    static constexpr std::string_view typeName = "Conversation";
    static constexpr std::array<std::string_view, 2> texts{"auto", "none"};
};

}  // namespace realtime
