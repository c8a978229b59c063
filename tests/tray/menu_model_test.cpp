#include "app/menu_model.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace kestro;
using Lines = std::vector<std::string>;

// One line per entry with everything the presenter shows:
// "id: title (symbol colour[ off][ 0.6][ key][ shortcut text])", or "---" for a divider.
std::string describe(const MenuEntry& entry) {
    if (entry.kind == MenuEntryKind::divider) return "---";
    static const char* colours[] = {"standard", "orange", "green", "gray", "red"};
    std::string line = entry.id + ": " + entry.title + " (" + entry.symbol + " " + colours[int(entry.colour)];
    if (!entry.enabled) line += " off";
    if (entry.opacity != 1.0) line += " " + std::to_string(entry.opacity).substr(0, 3);
    if (auto key = entry.keyEquivalent) {
        line += (key->modifier == KeyEquivalent::Modifier::control ? " ctrl-" : " cmd-") +
                std::string(1, key->key);
    }
    if (!entry.shortcutText.empty()) line += " " + entry.shortcutText;
    return line + ")";
}

Lines describe(const std::vector<MenuEntry>& menu) {
    Lines lines;
    for (const auto& entry : menu) lines.push_back(describe(entry));
    return lines;
}

MenuInputs inputs(MenuBarState state, std::function<void(MenuInputs&)> change = {}) {
    MenuInputs in;
    in.state = state;
    in.usedCalls = 3;
    in.totalCalls = 10;
    in.streakText = "2 Week Streak";
    // Stored shortcuts other than the defaults: the menu shows what is stored.
    in.startShortcutText = "⌥⇧K";
    in.endShortcutText = "⌃M";
    if (change) change(in);
    return in;
}

const std::string connecting = "connecting: Connecting (arrow.clockwise orange off)";
const std::string start = "startCall: Start Call (play.circle.fill green ⌥⇧K)";
const std::string starting = "startCall: Starting... (hourglass gray off 0.6 ⌥⇧K)";
const std::string processing = "startCall: Processing... (hourglass gray off 0.6 ⌥⇧K)";
const std::string end = "endCall: End Call (stop.circle.fill red ⌃M)";
const std::string increase = "requestIncrease: Request Increase (plus.circle.fill standard)";
const Lines counts{"callsUsed: Calls Used: 3/10 (chart.bar.fill standard off)",
                   "weekStreak: 2 Week Streak (flame.fill standard off)", "---"};
const Lines tail{"more: More (ellipsis.circle.fill standard)",
                 "quit: Quit (xmark.circle.fill standard ctrl-q ⌃Q)"};

Lines join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A running call keeps its entry in every state; so does a call being started or sent.
TEST(MenuModel, EachStateAndCallFlagListsItsEntriesInOrder) {
    auto active = [](MenuInputs& in) { in.isConversationActive = true; };
    auto startingCall = [](MenuInputs& in) { in.isStartingSession = true; };
    auto sending = [](MenuInputs& in) { in.isSendingTranscript = true; };
    // The error line is drawn enabled: in its colour, not greyed out.
    const std::string headphones = "error: No Headphones (headphones red)";
    const std::string noKey = "error: " + std::string(missingCredentialText) + " (key.slash.fill red)";
    const std::string refused = "error: " + std::string(rejectedCredentialText) + " (key.slash.fill red)";
    struct Case {
        const char* name;
        MenuInputs in;
        Lines expected;
    };
    const Case cases[] = {
        {"connecting", inputs(MenuBarState::connecting), join({{connecting}, tail})},
        {"available", inputs(MenuBarState::callsAvailable), join({{start, "---"}, counts, tail})},
        {"used up", inputs(MenuBarState::callsUsedUp), join({{increase, "---"}, counts, tail})},
        // A start still waiting for its credential can be given up from the menu.
        {"available, starting", inputs(MenuBarState::callsAvailable, startingCall),
         join({{starting, end, "---"}, counts, tail})},
        {"available, starting and sending",
         inputs(MenuBarState::callsAvailable,
                [&](MenuInputs& in) {
                    startingCall(in);
                    sending(in);
                }),
         join({{starting, end, "---"}, counts, tail})},
        {"available, active", inputs(MenuBarState::callsAvailable, active),
         join({{end, "---"}, counts, tail})},
        {"connecting, active", inputs(MenuBarState::connecting, active), join({{end, "---"}, tail})},
        {"used up, active", inputs(MenuBarState::callsUsedUp, active), join({{end, "---"}, counts, tail})},
        {"connecting, sending", inputs(MenuBarState::connecting, sending), join({{processing, "---"}, tail})},
        {"used up, sending", inputs(MenuBarState::callsUsedUp, sending),
         join({{processing, "---"}, counts, tail})},
        {"error line",
         inputs(MenuBarState::callsAvailable, [](MenuInputs& in) { in.errorMessage = "No Headphones"; }),
         join({{headphones, "---", start, "---"}, counts, tail})},
        {"no credential",
         inputs(MenuBarState::connecting, [](MenuInputs& in) { in.isCredentialMissing = true; }),
         join({{noKey, "---", connecting}, tail})},
        {"the controller's error before the missing credential",
         inputs(MenuBarState::connecting,
                [](MenuInputs& in) {
                    in.isCredentialMissing = true;
                    in.errorMessage = "No Internet";
                }),
         join({{"error: No Internet (wifi.slash red)", "---", connecting}, tail})},
        {"credential refused",
         inputs(MenuBarState::connecting, [](MenuInputs& in) { in.isCredentialRejected = true; }),
         join({{refused, "---", connecting}, tail})},
        {"no credential and the command of a build folder",
         inputs(MenuBarState::connecting,
                [](MenuInputs& in) {
                    in.isCredentialMissing = true;
                    in.credentialCommand = "/src/kestro/build/kestro --set-credential";
                }),
         join({{"error: No API Key: run /src/kestro/build/kestro --set-credential (key.slash.fill red)", "---",
                connecting},
               tail})},
        {"no stored shortcuts: no shortcut texts",
         inputs(MenuBarState::callsAvailable,
                [](MenuInputs& in) {
                    in.startShortcutText.clear();
                    in.isConversationActive = true;
                    in.endShortcutText.clear();
                }),
         join({{"endCall: End Call (stop.circle.fill red)", "---"}, counts, tail})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(describe(buildMenu(c.in)), c.expected);
    }
}

TEST(MenuModel, MoreHoldsTheUpdateCheckEnabledOnlyWhenTheUpdaterCan) {
    for (bool can : {false, true}) {
        auto menu =
            buildMenu(inputs(MenuBarState::connecting, [&](MenuInputs& in) { in.canCheckForUpdates = can; }));
        const auto& more = menu[1];
        EXPECT_EQ(more.kind, MenuEntryKind::submenu);
        EXPECT_EQ(
            describe(more.children),
            (Lines{
                std::string("more.checkForUpdates: Check for Updates (arrow.clockwise.circle.fill standard") +
                    (can ? ")" : " off)"),
                "more.support: Support/Feedback (envelope.fill standard)"}));
    }
}

TEST(MenuModel, ErrorSymbolsFollowTheFirstMatchingKeywordGroup) {
    struct Case {
        const char* text;
        const char* symbol;
    };
    for (const auto& c :
         {Case{"No Microphone", "mic.slash.fill"}, Case{"No Headphones", "headphones"},
          Case{"No Internet", "wifi.slash"}, Case{"Cannot Connect", "exclamationmark.triangle.fill"},
          Case{"Session already in progress", "exclamationmark.triangle.fill"},
          Case{"network ACCESS denied", "wifi.slash"}, Case{"Bad Authorization", "key.slash.fill"},
          Case{"Permission denied", "lock.slash.fill"}, Case{"", "exclamationmark.triangle.fill"},
          Case{"dynamic", "mic.slash.fill"}}) {
        EXPECT_EQ(errorSymbol(c.text), c.symbol) << c.text;
    }
}

}  // namespace
