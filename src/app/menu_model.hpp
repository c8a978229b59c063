#pragma once
// The tray menu as plain data: every entry with its title, symbol, colour, enabled state and
// keyboard equivalent, in the order the menu shows them. The Qt presenter draws it; tests read it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/menu_bar_state.hpp"

namespace kestro {

enum class MenuColour : std::uint8_t { standard, orange, green, gray, red };

enum class MenuEntryKind : std::uint8_t { label, button, submenu, divider };

struct KeyEquivalent {
    enum class Modifier : std::uint8_t { control, command };
    char key = 0;  // lower case
    Modifier modifier = Modifier::control;
    bool operator==(const KeyEquivalent&) const = default;
};

struct MenuEntry {
    std::string id;  // stable: "startCall", "divider.startCall", "more.checkForUpdates", ...
    MenuEntryKind kind = MenuEntryKind::label;
    std::string title;
    std::string symbol;  // a symbol name ("play.circle.fill"); empty for dividers
    MenuColour colour = MenuColour::standard;
    bool enabled = true;
    double opacity = 1.0;
    // A key the open menu itself answers to by choosing the entry.
    std::optional<KeyEquivalent> keyEquivalent;
    // The text shown in the entry's shortcut column ("⌃P"); empty for none.
    std::string shortcutText;
    // The same shortcut by its keys, for a menu another program draws (a StatusNotifier host),
    // in Qt's portable key text ("Ctrl+P"); empty for none.
    std::string shortcutKeys;
    std::vector<MenuEntry> children;

    bool operator==(const MenuEntry&) const = default;
};

inline constexpr std::string_view defaultCredentialCommand = "kestro --set-credential";

// Everything the menu depends on, read from the menu state, the call controller, the usage
// counts, the streak and the updater.
struct MenuInputs {
    MenuBarState state = MenuBarState::connecting;
    bool isConversationActive = false;
    bool isStartingSession = false;
    bool isSendingTranscript = false;
    std::optional<std::string> errorMessage;
    // The usage refresh cannot succeed because no backend credential is stored.
    bool isCredentialMissing = false;
    // The backend refused the stored credential (401 or 403) on the last usage query.
    bool isCredentialRejected = false;
    // The command that stores a credential, as the error lines name it.
    std::string credentialCommand = std::string(defaultCredentialCommand);
    // Display strings of the shortcuts stored for "startSession" and "endSession" (empty: none).
    std::string startShortcutText;
    std::string endShortcutText;
    // The same shortcuts by their keys ("Ctrl+P"; empty: none).
    std::string startShortcutKeys;
    std::string endShortcutKeys;
    std::int64_t usedCalls = -1;
    std::int64_t totalCalls = -1;
    std::string streakText;
    bool canCheckForUpdates = false;
};

namespace menu_ids {
inline constexpr std::string_view error = "error";
inline constexpr std::string_view checkForUpdates = "more.checkForUpdates";
inline constexpr std::string_view support = "more.support";
}  // namespace menu_ids

// The error lines shown while no backend credential is stored and while the backend refuses the
// stored one (their "Key" picks the key symbol), with the installed command.
inline constexpr std::string_view missingCredentialText = "No API Key: run kestro --set-credential";
inline constexpr std::string_view rejectedCredentialText = "API Key Rejected: run kestro --set-credential";

// The same lines naming another command that stores a credential.
std::string missingCredentialLine(std::string_view command);
std::string rejectedCredentialLine(std::string_view command);

// What the Quit entry answers to in the open menu, and the text shown beside it.
inline constexpr KeyEquivalent quitKeyEquivalent{'q', KeyEquivalent::Modifier::control};
inline constexpr std::string_view quitShortcutText = "⌃Q";
inline constexpr std::string_view quitShortcutKeys = "Ctrl+Q";

// The entry id of a menu bar item ("startCall", "callsUsed", ...).
std::string_view entryId(MenuBarItem item);

// Where the call stands, from the controller's three flags.
CallActivity callActivity(const MenuInputs& inputs);

// The symbol of the error line: the first keyword group (microphone, headphones, network,
// key, permission) whose word occurs in the lower-cased text, else the warning triangle.
std::string errorSymbol(std::string_view errorText);

// The whole menu, top to bottom.
std::vector<MenuEntry> buildMenu(const MenuInputs& inputs);

// Where an entry stands among all the entries its menu can ever show (the top menu's, or a
// submenu's): every menu buildMenu() gives lists its entries in this order. -1 for an unknown id.
int entryRank(std::string_view id);

}  // namespace kestro
