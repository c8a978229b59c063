#pragma once
// The configuration of one realtime speech session, as the service announces it and as the client
// sends it back in "session.update".

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "realtime/model/fields.hpp"
#include "realtime/model/raw_value.hpp"
#include "realtime/model/tool.hpp"

namespace realtime {

struct Session {
    using Tool = realtime::Tool;
    using ToolChoice = realtime::ToolChoice;

    enum class Modality { text, audio };
    enum class Voice { alloy, echo, shimmer, ash, ballad, coral, sage, verse, fable, onyx, nova };
    enum class AudioFormat { pcm16, g711_ulaw, g711_alaw };

    // How the user's speech is transcribed.
    struct InputAudioTranscription {
        enum class TranscriptionModel { whisper, gpt4o, gpt4oMini };

        OpenEnum<TranscriptionModel> model = TranscriptionModel::whisper;
        std::optional<std::string> language{};
        std::optional<std::string> prompt{};

        bool operator==(const InputAudioTranscription&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"model">(&InputAudioTranscription::model),
                              field<"language">(&InputAudioTranscription::language),
                              field<"prompt">(&InputAudioTranscription::prompt)};
        }
    };

    // Noise reduction of the input audio; without a type it is the empty object.
    struct InputAudioNoiseReduction {
        enum class NoiseReductionType { nearField, farField };

        std::optional<OpenEnum<NoiseReductionType>> type{};

        bool operator==(const InputAudioNoiseReduction&) const = default;
        static constexpr auto fields() { return std::tuple{field<"type">(&InputAudioNoiseReduction::type)}; }
    };

    // How the end of the user's turn is found.
    struct TurnDetection {
        enum class TurnDetectionType { serverVad, semanticVad, none };
        enum class TurnDetectionEagerness { low, high, auto_, medium };

        OpenEnum<TurnDetectionType> type = TurnDetectionType::serverVad;
        std::optional<double> threshold{};
        std::optional<bool> interruptResponse{};
        std::optional<std::int64_t> prefixPaddingMs{};
        std::optional<std::int64_t> silenceDurationMs{};
        // The service's default: an absent "create_response" reads as true.
        bool createResponse = true;
        std::optional<OpenEnum<TurnDetectionEagerness>> eagerness{};

        // Voice activity detection by the server; absent arguments leave their fields absent.
        static TurnDetection serverVad(std::optional<double> threshold = std::nullopt,
                                       std::optional<bool> interruptResponse = std::nullopt,
                                       std::optional<std::int64_t> prefixPaddingMs = std::nullopt,
                                       std::optional<std::int64_t> silenceDurationMs = std::nullopt) {
            return {TurnDetectionType::serverVad, threshold, interruptResponse, prefixPaddingMs,
                    silenceDurationMs, true, std::nullopt};
        }
        static TurnDetection semanticVad(TurnDetectionEagerness eagerness) {
            return {TurnDetectionType::semanticVad, std::nullopt, std::nullopt, std::nullopt, std::nullopt, true,
                    eagerness};
        }

        bool operator==(const TurnDetection&) const = default;
        static constexpr auto fields() {
            return std::tuple{field<"type">(&TurnDetection::type),
                              field<"threshold">(&TurnDetection::threshold),
                              field<"interruptResponse">(&TurnDetection::interruptResponse),
                              field<"prefixPaddingMs">(&TurnDetection::prefixPaddingMs),
                              field<"silenceDurationMs">(&TurnDetection::silenceDurationMs),
                              field<"createResponse">(&TurnDetection::createResponse, FieldRule::absentAsEmpty),
                              field<"eagerness">(&TurnDetection::eagerness)};
        }
    };

    std::optional<std::string> id{};
    std::string model{};
    std::vector<OpenEnum<Modality>> modalities{};
    std::string instructions{};
    OpenEnum<Voice> voice = Voice::alloy;
    OpenEnum<AudioFormat> inputAudioFormat = AudioFormat::pcm16;
    OpenEnum<AudioFormat> outputAudioFormat = AudioFormat::pcm16;
    std::optional<InputAudioTranscription> inputAudioTranscription{};
    std::optional<InputAudioNoiseReduction> inputAudioNoiseReduction{};
    std::optional<TurnDetection> turnDetection{};
    std::vector<Tool> tools{};
    ToolChoice toolChoice{};
    double temperature = 0.8;
    std::optional<std::int64_t> maxOutputTokens{};

    bool operator==(const Session&) const = default;
    static constexpr auto fields() {
        return std::tuple{field<"id">(&Session::id),
                          field<"model">(&Session::model),
                          field<"modalities">(&Session::modalities),
                          field<"instructions">(&Session::instructions),
                          field<"voice">(&Session::voice),
                          field<"inputAudioFormat">(&Session::inputAudioFormat),
                          field<"outputAudioFormat">(&Session::outputAudioFormat),
                          field<"inputAudioTranscription">(&Session::inputAudioTranscription),
                          field<"inputAudioNoiseReduction">(&Session::inputAudioNoiseReduction),
                          field<"turnDetection">(&Session::turnDetection),
                          field<"tools">(&Session::tools),
                          field<"toolChoice">(&Session::toolChoice),
                          field<"temperature">(&Session::temperature),
                          field<"maxOutputTokens">(&Session::maxOutputTokens)};
    }
};

template <>
struct RawValues<Session::Modality> {
    static constexpr std::string_view typeName = "Modality";
    static constexpr std::array<std::string_view, 2> texts{"text", "audio"};
};
template <>
struct RawValues<Session::Voice> {
    static constexpr std::string_view typeName = "Voice";
    static constexpr std::array<std::string_view, 11> texts{
        "alloy", "echo", "shimmer", "ash", "ballad", "coral", "sage", "verse", "fable", "onyx", "nova"};
};
template <>
struct RawValues<Session::AudioFormat> {
    static constexpr std::string_view typeName = "AudioFormat";
    static constexpr std::array<std::string_view, 3> texts{"pcm16", "g711_ulaw", "g711_alaw"};
};
template <>
struct RawValues<Session::InputAudioTranscription::TranscriptionModel> {
    static constexpr std::string_view typeName = "TranscriptionModel";
    static constexpr std::array<std::string_view, 3> texts{"whisper-1", "gpt-4o-transcribe",
                                                           "gpt-4o-mini-transcribe"};
};
template <>
struct RawValues<Session::InputAudioNoiseReduction::NoiseReductionType> {
    static constexpr std::string_view typeName = "NoiseReductionType";
    static constexpr std::array<std::string_view, 2> texts{"near_field", "far_field"};
};
template <>
struct RawValues<Session::TurnDetection::TurnDetectionType> {
    static constexpr std::string_view typeName = "TurnDetectionType";
    static constexpr std::array<std::string_view, 3> texts{"server_vad", "semantic_vad", "none"};
};
template <>
struct RawValues<Session::TurnDetection::TurnDetectionEagerness> {
    static constexpr std::string_view typeName = "TurnDetectionEagerness";
    static constexpr std::array<std::string_view, 4> texts{"low", "high", "auto", "medium"};
};

}  // namespace realtime
