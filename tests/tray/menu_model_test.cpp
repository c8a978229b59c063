#include "app/menu_model.hpp"

#include <gtest/gtest.h>

namespace {

using kestro::buildMenu;
using kestro::KeyEquivalent;
using kestro::MenuBarState;
using kestro::MenuColour;
using kestro::MenuEntry;
using kestro::MenuEntryKind;
using kestro::MenuInputs;

// The menu's lines as "title" or "---" for a divider.
std::vector<std::string> lines(const std::vector<MenuEntry>& menu) {
    std::vector<std::string> out;
    for (const auto& entry : menu) out.push_back(entry.kind == MenuEntryKind::divider ? "---" : entry.title);
    return out;
}

const MenuEntry& find(const std::vector<MenuEntry>& menu, std::string_view id) {
    for (const auto& entry : menu) {
        if (entry.id == id) return entry;
    }
    throw std::runtime_error("no entry " + std::string(id));
}

MenuInputs inputs(MenuBarState state) {
    MenuInputs in;
    in.state = state;
    in.usedCalls = 3;
    in.totalCalls = 10;
    in.streakText = "2 Week Streak";
    return in;
}

using Lines = std::vector<std::string>;

TEST(MenuModel, EachStateListsItsEntriesWithTheirDividers) {
    EXPECT_EQ(lines(buildMenu(inputs(MenuBarState::connecting))), (Lines{"Connecting", "More", "Quit"}));
    EXPECT_EQ(lines(buildMenu(inputs(MenuBarState::callsAvailable))),
              (Lines{"Start Call", "---", "Calls Used: 3/10", "2 Week Streak", "---", "More", "Quit"}));
    EXPECT_EQ(lines(buildMenu(inputs(MenuBarState::callsUsedUp))),
              (Lines{"Request Increase", "---", "Calls Used: 3/10", "2 Week Streak", "---", "More", "Quit"}));

    auto active = inputs(MenuBarState::callsAvailable);
    active.isConversationActive = true;
    EXPECT_EQ(lines(buildMenu(active)),
              (Lines{"End Call", "---", "Calls Used: 3/10", "2 Week Streak", "---", "More", "Quit"}));
}

TEST(MenuModel, ARunningCallKeepsItsEntryInEveryState) {
    for (auto state : {MenuBarState::connecting, MenuBarState::callsAvailable, MenuBarState::callsUsedUp}) {
        auto active = inputs(state);
        active.isConversationActive = true;
        auto menu = buildMenu(active);
        EXPECT_EQ(menu.front().id, "endCall") << int(state);
        EXPECT_TRUE(menu.front().enabled);

        auto sending = inputs(state);
        sending.isSendingTranscript = true;
        EXPECT_EQ(buildMenu(sending).front().title, "Processing...") << int(state);
        EXPECT_EQ(lines(buildMenu(active)).back(), "Quit");
    }
}

TEST(MenuModel, StartEntryFollowsTheCallFlags) {
    struct Case {
        bool active, starting, sending;
        std::string title, symbol;
        bool enabled;
    };
    // With a call active the start entry is not listed; its form is still defined by the flags.
    for (const auto& c : {Case{false, false, false, "Start Call", "play.circle.fill", true},
                          Case{false, true, false, "Starting...", "hourglass", false},
                          Case{false, false, true, "Processing...", "hourglass", false},
                          Case{false, true, true, "Starting...", "hourglass", false}}) {
        auto in = inputs(MenuBarState::callsAvailable);
        in.isConversationActive = c.active;
        in.isStartingSession = c.starting;
        in.isSendingTranscript = c.sending;
        auto start = buildMenu(in).front();
        EXPECT_EQ(start.id, "startCall");
        EXPECT_EQ(start.title, c.title);
        EXPECT_EQ(start.symbol, c.symbol);
        EXPECT_EQ(start.enabled, c.enabled) << c.title;
        EXPECT_EQ(start.opacity, c.enabled ? 1.0 : 0.6);
        EXPECT_EQ(start.colour, c.enabled ? MenuColour::green : MenuColour::gray);
        EXPECT_EQ(start.keyEquivalent, (KeyEquivalent{'p', KeyEquivalent::Modifier::control}));
    }
}

TEST(MenuModel, EntriesCarryTheirSymbolsColoursAndKeys) {
    auto active = inputs(MenuBarState::callsAvailable);
    active.isConversationActive = true;
    auto menu = buildMenu(active);
    const auto& end = find(menu, "endCall");
    EXPECT_EQ(end.symbol, "stop.circle.fill");
    EXPECT_EQ(end.colour, MenuColour::red);
    EXPECT_EQ(end.keyEquivalent, (KeyEquivalent{'m', KeyEquivalent::Modifier::control}));
    EXPECT_EQ(find(menu, "callsUsed").symbol, "chart.bar.fill");
    EXPECT_EQ(find(menu, "weekStreak").symbol, "flame.fill");
    EXPECT_FALSE(find(menu, "callsUsed").enabled) << "a label cannot be chosen";

    const auto& quit = find(menu, "quit");
    EXPECT_EQ(quit.symbol, "xmark.circle.fill");
    EXPECT_EQ(quit.keyEquivalent, (KeyEquivalent{'q', KeyEquivalent::Modifier::command}));

    auto connecting = buildMenu(inputs(MenuBarState::connecting)).front();
    EXPECT_EQ(connecting.symbol, "arrow.clockwise");
    EXPECT_EQ(connecting.colour, MenuColour::orange);

    auto increase = buildMenu(inputs(MenuBarState::callsUsedUp)).front();
    EXPECT_EQ(increase.symbol, "plus.circle.fill");
    EXPECT_EQ(increase.kind, MenuEntryKind::button);
    EXPECT_TRUE(increase.enabled);
}

TEST(MenuModel, MoreHoldsTheUpdateCheckAndSupportLink) {
    auto in = inputs(MenuBarState::connecting);
    auto more = find(buildMenu(in), "more");
    EXPECT_EQ(more.kind, MenuEntryKind::submenu);
    EXPECT_EQ(more.symbol, "ellipsis.circle.fill");
    ASSERT_EQ(more.children.size(), 2u);
    EXPECT_EQ(more.children[0].title, "Check for Updates");
    EXPECT_EQ(more.children[0].symbol, "arrow.clockwise.circle.fill");
    EXPECT_FALSE(more.children[0].enabled);
    EXPECT_EQ(more.children[1].title, "Support/Feedback");
    EXPECT_EQ(more.children[1].symbol, "envelope.fill");

    in.canCheckForUpdates = true;
    EXPECT_TRUE(find(buildMenu(in), "more").children[0].enabled);
}

TEST(MenuModel, UsageReadsAQuestionMarkUntilBothCountsAreKnown) {
    auto in = inputs(MenuBarState::callsAvailable);
    in.usedCalls = -1;
    EXPECT_EQ(find(buildMenu(in), "callsUsed").title, "Calls Used: ?");
    in.usedCalls = 3;
    in.totalCalls = -1;
    EXPECT_EQ(find(buildMenu(in), "callsUsed").title, "Calls Used: ?");
    in.usedCalls = 0;
    in.totalCalls = 5;
    EXPECT_EQ(find(buildMenu(in), "callsUsed").title, "Calls Used: 0/5");
}

TEST(MenuModel, TheErrorLineAndItsDividerStandAboveTheFirstEntry) {
    auto in = inputs(MenuBarState::callsAvailable);
    in.errorMessage = "No Headphones";
    auto menu = buildMenu(in);
    EXPECT_EQ(lines(menu), (Lines{"No Headphones", "---", "Start Call", "---", "Calls Used: 3/10", "2 Week Streak",
                                  "---", "More", "Quit"}));
    EXPECT_EQ(menu[0].colour, MenuColour::red);
    EXPECT_EQ(menu[0].symbol, "headphones");
    in.errorMessage.reset();
    EXPECT_EQ(lines(buildMenu(in)).front(), "Start Call");
}

TEST(MenuModel, ErrorSymbolsFollowTheFirstMatchingKeywordGroup) {
    struct Case {
        const char* text;
        const char* symbol;
    };
    for (const auto& c : {Case{"No Microphone", "mic.slash.fill"}, Case{"No Headphones", "headphones"},
                          Case{"No Internet", "wifi.slash"}, Case{"Cannot Connect", "exclamationmark.triangle.fill"},
                          Case{"Session already in progress", "exclamationmark.triangle.fill"},
                          Case{"network ACCESS denied", "wifi.slash"}, Case{"Bad Authorization", "key.slash.fill"},
                          Case{"Permission denied", "lock.slash.fill"}, Case{"", "exclamationmark.triangle.fill"},
                          Case{"dynamic", "mic.slash.fill"}}) {
        EXPECT_EQ(kestro::errorSymbol(c.text), c.symbol) << c.text;
    }
}

TEST(MenuModel, AMissingCredentialShowsItsOwnLineUnlessTheControllerHasOne) {
    auto in = inputs(MenuBarState::connecting);
    in.isCredentialMissing = true;
    auto menu = buildMenu(in);
    EXPECT_EQ(menu[0].title, kestro::missingCredentialText);
    EXPECT_EQ(menu[0].symbol, "key.slash.fill");
    EXPECT_EQ(lines(menu), (Lines{std::string(kestro::missingCredentialText), "---", "Connecting", "More", "Quit"}));

    in.errorMessage = "No Internet";
    EXPECT_EQ(buildMenu(in)[0].title, "No Internet");
}

}  // namespace
