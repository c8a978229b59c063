#pragma once
// The words of KDE's global-shortcut service on the bus: its names, the flags of setShortcutKeys,
// and the reading and writing of key sequences (each four integers, the unused ones 0; the
// service aborts on a sequence of any other length) and of shortcut information.

#include <systemd/sd-bus.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::kglobalaccel {

inline constexpr const char* service = "org.kde.kglobalaccel";
inline constexpr const char* objectPath = "/kglobalaccel";
inline constexpr const char* interface = "org.kde.KGlobalAccel";
inline constexpr const char* componentInterface = "org.kde.kglobalaccel.Component";
inline constexpr const char* componentPathPrefix = "/component/";

// setShortcutKeys: make the action present (its keys take effect); take the keys given even where
// the service has others stored; set the default keys only.
inline constexpr std::uint32_t setPresent = 2;
inline constexpr std::uint32_t noAutoloading = 4;
inline constexpr std::uint32_t isDefault = 8;
// globalShortcutsByKey: actions whose keys equal the key.
inline constexpr std::int32_t matchEqual = 0;

// The element of a component's object path: its name with every character other than a letter,
// digit or underscore made an underscore.
std::string pathElement(const std::string& componentName);

// One key sequence: the keys of a chord in order (1 to 4 of them).
using KeySequence = std::vector<std::int32_t>;
using KeySequences = std::vector<KeySequence>;

// Appends a list of key sequences: the one of `key` alone, or none.
int appendKeys(sd_bus_message* message, std::optional<std::int32_t> key);
// Appends one key sequence of `key` alone.
int appendKeySequence(sd_bus_message* message, std::int32_t key);

// Reads a list of key sequences (a(ai)), leaving out empty ones; none when the message holds
// no such list. At most 64 sequences are kept.
std::optional<KeySequences> readKeySequences(sd_bus_message* message);
// Reads an action id (as): component, action, and their texts.
std::optional<std::vector<std::string>> readActionId(sd_bus_message* message);

// From a list of shortcut information (a(ssssssaiai)): the friendly name (or unique name) of the
// first component other than `componentName`; none when all are that component's.
std::optional<std::string> otherHolder(sd_bus_message* reply, const std::string& componentName);

}  // namespace platform::kglobalaccel
