#pragma once
// Reading and writing the parts of the desktop portal's messages that the global shortcuts use:
// option dictionaries (a{sv}) and shortcut lists (a(sa{sv})). What the portal sends is read
// defensively: unknown keys and values of other types are skipped, texts are cut to a bound.

#include <systemd/sd-bus.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::portal {

inline constexpr const char* service = "org.freedesktop.portal.Desktop";
inline constexpr const char* objectPath = "/org/freedesktop/portal/desktop";
inline constexpr const char* shortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";
inline constexpr const char* requestInterface = "org.freedesktop.portal.Request";
inline constexpr const char* sessionInterface = "org.freedesktop.portal.Session";
inline constexpr const char* registryInterface = "org.freedesktop.host.portal.Registry";

// The longest text kept from the portal (a trigger description, a handle).
inline constexpr std::size_t maxTextLength = 256;

struct ShortcutOffer {
    std::string id;
    std::string description;
    std::optional<std::string> preferredTrigger;
};

// The trigger the portal reports for a shortcut id ("" when it reports none).
using Triggers = std::map<std::string, std::string>;

// Appends an a{sv} of string values.
int appendStringOptions(sd_bus_message* message, const std::map<std::string, std::string>& options);
// Appends the a(sa{sv}) of BindShortcuts.
int appendShortcuts(sd_bus_message* message, const std::vector<ShortcutOffer>& shortcuts);
// Appends an a{sv} of string values and, under "shortcuts", the a(sa{sv}) of `shortcuts`.
int appendOptionsWithShortcuts(sd_bus_message* message, const std::map<std::string, std::string>& options,
                               const std::vector<ShortcutOffer>& shortcuts);

// What a request's answer carries after its response code: the shortcuts it lists (none when it
// lists none) and the session handle (none when absent).
struct Results {
    std::optional<Triggers> shortcuts;
    std::optional<std::string> sessionHandle;
};
// Reads the a{sv} of results at the cursor; none when the message holds no readable one.
std::optional<Results> readResults(sd_bus_message* message);

// Reads an a{sv} and returns the string or object-path value of `key` (none when absent or of
// another type). The dictionary is consumed either way.
std::optional<std::string> readTextOption(sd_bus_message* message, const std::string& key);
// Reads an a(sa{sv}) of shortcuts: each id with its "trigger_description". None when the message
// does not hold one.
std::optional<Triggers> readShortcuts(sd_bus_message* message);

// The last element of request paths for a connection: its unique name without ":" and with "_"
// for ".".
std::string senderPathElement(const std::string& uniqueName);

}  // namespace platform::portal
