#include "app/menu_model.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "app/usage_manager.hpp"

namespace kestro {
namespace {

MenuEntry label(std::string id, std::string title, std::string symbol, MenuColour colour = MenuColour::standard) {
    MenuEntry entry;
    entry.id = std::move(id);
    entry.kind = MenuEntryKind::label;
    entry.title = std::move(title);
    entry.symbol = std::move(symbol);
    entry.colour = colour;
    // A label has no action: it is shown but cannot be chosen.
    entry.enabled = false;
    return entry;
}

MenuEntry button(std::string id, std::string title, std::string symbol) {
    MenuEntry entry;
    entry.id = std::move(id);
    entry.kind = MenuEntryKind::button;
    entry.title = std::move(title);
    entry.symbol = std::move(symbol);
    return entry;
}

MenuEntry divider(std::string_view after) {
    MenuEntry entry;
    entry.id = "divider." + std::string(after);
    entry.kind = MenuEntryKind::divider;
    return entry;
}

// Start and end entries: disabled ones are drawn at 0.6 opacity.
void setCallButtonState(MenuEntry& entry, bool enabled, MenuColour enabledColour) {
    entry.enabled = enabled;
    entry.opacity = enabled ? 1.0 : 0.6;
    entry.colour = enabled ? enabledColour : MenuColour::gray;
}

MenuEntry startCallEntry(const MenuInputs& in) {
    std::string title = in.isStartingSession     ? "Starting..."
                        : in.isSendingTranscript ? "Processing..."
                                                 : "Start Call";
    bool busy = in.isStartingSession || in.isSendingTranscript;
    auto entry = button(std::string(entryId(MenuBarItem::startCall)), title, busy ? "hourglass" : "play.circle.fill");
    // The stored global shortcut, which also works while the menu is open.
    entry.shortcutText = in.startShortcutText;
    entry.shortcutKeys = in.startShortcutKeys;
    setCallButtonState(entry, !(in.isConversationActive || in.isStartingSession || in.isSendingTranscript),
                       MenuColour::green);
    return entry;
}

MenuEntry endCallEntry(const MenuInputs& in) {
    auto entry = button(std::string(entryId(MenuBarItem::endCall)), "End Call", "stop.circle.fill");
    entry.shortcutText = in.endShortcutText;
    entry.shortcutKeys = in.endShortcutKeys;
    setCallButtonState(entry, in.isConversationActive || in.isStartingSession, MenuColour::red);
    return entry;
}

MenuEntry moreEntry(const MenuInputs& in) {
    MenuEntry more;
    more.id = std::string(entryId(MenuBarItem::more));
    more.kind = MenuEntryKind::submenu;
    more.title = "More";
    more.symbol = "ellipsis.circle.fill";
    auto check = button(std::string(menu_ids::checkForUpdates), "Check for Updates", "arrow.clockwise.circle.fill");
    check.enabled = in.canCheckForUpdates;
    more.children.push_back(std::move(check));
    more.children.push_back(button(std::string(menu_ids::support), "Support/Feedback", "envelope.fill"));
    return more;
}

MenuEntry entryFor(MenuBarItem item, const MenuInputs& in) {
    auto id = std::string(entryId(item));
    switch (item) {
        case MenuBarItem::connecting: return label(id, "Connecting", "arrow.clockwise", MenuColour::orange);
        case MenuBarItem::startCall: return startCallEntry(in);
        case MenuBarItem::endCall: return endCallEntry(in);
        case MenuBarItem::callsUsed:
            return label(id, "Calls Used: " + usageText(in.usedCalls, in.totalCalls), "chart.bar.fill");
        case MenuBarItem::weekStreak: return label(id, in.streakText, "flame.fill");
        case MenuBarItem::requestIncrease: return button(id, "Request Increase", "plus.circle.fill");
        case MenuBarItem::more: return moreEntry(in);
        case MenuBarItem::quit: {
            auto quit = button(id, "Quit", "xmark.circle.fill");
            quit.keyEquivalent = quitKeyEquivalent;
            quit.shortcutText = std::string(quitShortcutText);
            quit.shortcutKeys = std::string(quitShortcutKeys);
            return quit;
        }
    }
    return label(id, std::string(title(item)), "");
}

bool takesDivider(MenuBarItem item) {
    return item == MenuBarItem::startCall || item == MenuBarItem::endCall || item == MenuBarItem::weekStreak ||
           item == MenuBarItem::requestIncrease;
}

}  // namespace

std::string missingCredentialLine(std::string_view command) { return "No API Key: run " + std::string(command); }

std::string rejectedCredentialLine(std::string_view command) {
    return "API Key Rejected: run " + std::string(command);
}

std::string_view entryId(MenuBarItem item) {
    switch (item) {
        case MenuBarItem::connecting: return "connecting";
        case MenuBarItem::startCall: return "startCall";
        case MenuBarItem::endCall: return "endCall";
        case MenuBarItem::callsUsed: return "callsUsed";
        case MenuBarItem::weekStreak: return "weekStreak";
        case MenuBarItem::requestIncrease: return "requestIncrease";
        case MenuBarItem::more: return "more";
        case MenuBarItem::quit: return "quit";
    }
    return {};
}

CallActivity callActivity(const MenuInputs& inputs) {
    if (inputs.isConversationActive) return CallActivity::active;
    if (inputs.isStartingSession) return CallActivity::starting;
    if (inputs.isSendingTranscript) return CallActivity::sending;
    return CallActivity::idle;
}

std::string errorSymbol(std::string_view errorText) {
    std::string text(errorText);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    struct Group {
        std::vector<std::string_view> words;
        std::string_view symbol;
    };
    static const std::array<Group, 5> groups{{
        {{"microphone", "mic"}, "mic.slash.fill"},
        {{"headphones", "headphone"}, "headphones"},
        {{"internet", "network", "connection"}, "wifi.slash"},
        {{"auth", "key"}, "key.slash.fill"},
        {{"permission", "access"}, "lock.slash.fill"},
    }};
    for (const auto& group : groups) {
        for (auto word : group.words) {
            if (text.find(word) != std::string::npos) return std::string(group.symbol);
        }
    }
    return "exclamationmark.triangle.fill";
}

int entryRank(std::string_view id) {
    static constexpr std::array<std::string_view, 14> top{
        "error",    "divider.error",    "connecting", "requestIncrease", "divider.requestIncrease",
        "startCall", "divider.startCall", "endCall",  "divider.endCall", "callsUsed",
        "weekStreak", "divider.weekStreak", "more",   "quit"};
    static constexpr std::array<std::string_view, 2> more{menu_ids::checkForUpdates, menu_ids::support};
    for (std::size_t i = 0; i < top.size(); ++i) {
        if (top[i] == id) return static_cast<int>(i);
    }
    for (std::size_t i = 0; i < more.size(); ++i) {
        if (more[i] == id) return static_cast<int>(i);
    }
    return -1;
}

std::vector<MenuEntry> buildMenu(const MenuInputs& inputs) {
    std::vector<MenuEntry> menu;
    std::optional<std::string> error = inputs.errorMessage;
    if (!error && inputs.isCredentialMissing) error = missingCredentialLine(inputs.credentialCommand);
    if (!error && inputs.isCredentialRejected) error = rejectedCredentialLine(inputs.credentialCommand);
    if (error) {
        auto line = label(std::string(menu_ids::error), *error, errorSymbol(*error), MenuColour::red);
        // Drawn in its colour, not greyed out like the other labels: it is what the user must read.
        line.enabled = true;
        menu.push_back(std::move(line));
        menu.push_back(divider(menu_ids::error));
    }
    auto items = menuItems(inputs.state, callActivity(inputs));
    for (std::size_t i = 0; i < items.size(); ++i) {
        menu.push_back(entryFor(items[i], inputs));
        // A start and the entry that gives it up stand together.
        const bool pairedWithNext = items[i] == MenuBarItem::startCall && i + 1 < items.size() &&
                                    items[i + 1] == MenuBarItem::endCall;
        if (takesDivider(items[i]) && i + 1 < items.size() && !pairedWithNext) {
            menu.push_back(divider(entryId(items[i])));
        }
    }
    return menu;
}

}  // namespace kestro
