#include "platform/hotkeys/portal_messages.hpp"

namespace platform::portal {
namespace {

std::string bounded(const char* text) {
    std::string value = text ? text : "";
    if (value.size() > maxTextLength) value.resize(maxTextLength);
    return value;
}

// Reads the variant at the cursor as text when it holds a string or an object path; skips it
// otherwise.
std::optional<std::string> readTextVariant(sd_bus_message* message) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(message, &type, &contents) < 0 || type != SD_BUS_TYPE_VARIANT || !contents) {
        return std::nullopt;
    }
    std::string signature = contents;
    if (signature != "s" && signature != "o") {
        sd_bus_message_skip(message, "v");
        return std::nullopt;
    }
    if (sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, contents) < 0) return std::nullopt;
    const char* text = nullptr;
    int result = sd_bus_message_read_basic(message, signature[0], &text);
    sd_bus_message_exit_container(message);
    if (result < 0) return std::nullopt;
    return bounded(text);
}

// Reads an a{sv}, handing each key to `take` with the cursor on its variant; `take` consumes the
// variant (or leaves it, and it is skipped).
template <class Take>
bool readOptions(sd_bus_message* message, Take take) {
    if (sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "{sv}") <= 0) return false;
    while (sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &key) < 0) return false;
        if (!take(std::string(key ? key : ""))) sd_bus_message_skip(message, "v");
        if (sd_bus_message_exit_container(message) < 0) return false;
    }
    return sd_bus_message_exit_container(message) >= 0;
}

}  // namespace

int appendStringOptions(sd_bus_message* message, const std::map<std::string, std::string>& options) {
    int result = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    for (const auto& [key, value] : options) {
        if (result < 0) break;
        result = sd_bus_message_append(message, "{sv}", key.c_str(), "s", value.c_str());
    }
    return result < 0 ? result : sd_bus_message_close_container(message);
}

int appendShortcuts(sd_bus_message* message, const std::vector<ShortcutOffer>& shortcuts) {
    int result = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "(sa{sv})");
    for (const auto& shortcut : shortcuts) {
        if (result < 0) break;
        result = sd_bus_message_open_container(message, SD_BUS_TYPE_STRUCT, "sa{sv}");
        if (result >= 0) result = sd_bus_message_append(message, "s", shortcut.id.c_str());
        std::map<std::string, std::string> options{{"description", shortcut.description}};
        if (shortcut.preferredTrigger) options["preferred_trigger"] = *shortcut.preferredTrigger;
        if (result >= 0) result = appendStringOptions(message, options);
        if (result >= 0) result = sd_bus_message_close_container(message);
    }
    return result < 0 ? result : sd_bus_message_close_container(message);
}

int appendOptionsWithShortcuts(sd_bus_message* message, const std::map<std::string, std::string>& options,
                               const std::vector<ShortcutOffer>& shortcuts) {
    int result = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    for (const auto& [key, value] : options) {
        if (result < 0) break;
        result = sd_bus_message_append(message, "{sv}", key.c_str(), "s", value.c_str());
    }
    if (result >= 0) result = sd_bus_message_open_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv");
    if (result >= 0) result = sd_bus_message_append(message, "s", "shortcuts");
    if (result >= 0) result = sd_bus_message_open_container(message, SD_BUS_TYPE_VARIANT, "a(sa{sv})");
    if (result >= 0) result = appendShortcuts(message, shortcuts);
    if (result >= 0) result = sd_bus_message_close_container(message);
    if (result >= 0) result = sd_bus_message_close_container(message);
    return result < 0 ? result : sd_bus_message_close_container(message);
}

std::optional<Results> readResults(sd_bus_message* message) {
    Results results;
    bool read = readOptions(message, [&](const std::string& key) {
        if (key == "session_handle") {
            results.sessionHandle = readTextVariant(message);
            return true;
        }
        if (key != "shortcuts") return false;
        if (sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, "a(sa{sv})") <= 0) return false;
        results.shortcuts = readShortcuts(message);
        sd_bus_message_exit_container(message);
        return true;
    });
    if (!read) return std::nullopt;
    return results;
}

std::optional<std::string> readTextOption(sd_bus_message* message, const std::string& wanted) {
    std::optional<std::string> found;
    bool read = readOptions(message, [&](const std::string& key) {
        if (key != wanted) return false;
        found = readTextVariant(message);
        return true;
    });
    if (!read) return std::nullopt;
    return found;
}

std::optional<Triggers> readShortcuts(sd_bus_message* message) {
    if (sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "(sa{sv})") <= 0) return std::nullopt;
    Triggers triggers;
    while (sd_bus_message_enter_container(message, SD_BUS_TYPE_STRUCT, "sa{sv}") > 0) {
        const char* id = nullptr;
        if (sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &id) < 0) return std::nullopt;
        std::string trigger;
        bool read = readOptions(message, [&](const std::string& key) {
            if (key != "trigger_description") return false;
            trigger = readTextVariant(message).value_or("");
            return true;
        });
        if (!read || sd_bus_message_exit_container(message) < 0) return std::nullopt;
        triggers[bounded(id)] = trigger;
    }
    if (sd_bus_message_exit_container(message) < 0) return std::nullopt;
    return triggers;
}

std::string senderPathElement(const std::string& uniqueName) {
    std::string element = uniqueName.substr(uniqueName.rfind(':') == 0 ? 1 : 0);
    for (char& c : element) {
        if (c == '.') c = '_';
    }
    return element;
}

}  // namespace platform::portal
