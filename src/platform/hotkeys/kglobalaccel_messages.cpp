#include "platform/hotkeys/kglobalaccel_messages.hpp"

#include <cctype>
#include <cstdlib>

namespace platform::kglobalaccel {
namespace {

constexpr std::size_t sequenceLength = 4;
constexpr std::size_t maxSequences = 64;

}  // namespace

std::string pathElement(const std::string& componentName) {
    std::string element = componentName;
    for (char& c : element) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') c = '_';
    }
    return element;
}

int appendKeySequence(sd_bus_message* message, std::int32_t key) {
    return sd_bus_message_append(message, "(ai)", static_cast<unsigned>(sequenceLength), key, 0, 0, 0);
}

int appendKeys(sd_bus_message* message, std::optional<std::int32_t> key) {
    int result = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "(ai)");
    if (result >= 0 && key) result = appendKeySequence(message, *key);
    if (result >= 0) result = sd_bus_message_close_container(message);
    return result;
}

std::optional<KeySequences> readKeySequences(sd_bus_message* message) {
    if (sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "(ai)") <= 0) return std::nullopt;
    KeySequences sequences;
    while (sd_bus_message_enter_container(message, SD_BUS_TYPE_STRUCT, "ai") > 0) {
        const void* data = nullptr;
        std::size_t size = 0;
        if (sd_bus_message_read_array(message, 'i', &data, &size) < 0) return std::nullopt;
        KeySequence sequence;
        const auto* keys = static_cast<const std::int32_t*>(data);
        for (std::size_t i = 0; i < size / sizeof(std::int32_t) && i < sequenceLength; ++i) {
            if (keys[i] == 0) break;
            sequence.push_back(keys[i]);
        }
        if (sd_bus_message_exit_container(message) < 0) return std::nullopt;
        if (!sequence.empty() && sequences.size() < maxSequences) sequences.push_back(std::move(sequence));
    }
    if (sd_bus_message_exit_container(message) < 0) return std::nullopt;
    return sequences;
}

std::optional<std::vector<std::string>> readActionId(sd_bus_message* message) {
    char** strings = nullptr;
    if (sd_bus_message_read_strv(message, &strings) < 0 || !strings) return std::nullopt;
    std::vector<std::string> id;
    for (char** s = strings; *s; ++s) {
        id.emplace_back(*s);
        std::free(*s);
    }
    std::free(strings);
    return id;
}

std::optional<std::string> otherHolder(sd_bus_message* reply, const std::string& componentName) {
    if (!reply || sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "(ssssssaiai)") <= 0) return std::nullopt;
    while (sd_bus_message_enter_container(reply, SD_BUS_TYPE_STRUCT, "ssssssaiai") > 0) {
        const char* fields[6] = {};
        if (sd_bus_message_read(reply, "ssssss", &fields[0], &fields[1], &fields[2], &fields[3], &fields[4],
                                &fields[5]) < 0 ||
            sd_bus_message_skip(reply, "aiai") < 0) {
            return std::nullopt;
        }
        // Unique name, then friendly name, of the action and then of its component.
        std::string component = fields[2] ? fields[2] : "";
        if (component != componentName) {
            std::string friendly = fields[3] ? fields[3] : "";
            return friendly.empty() ? component : friendly;
        }
        if (sd_bus_message_exit_container(reply) < 0) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace platform::kglobalaccel
