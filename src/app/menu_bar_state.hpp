#pragma once
// What the menu shows: its state and the entries of each state.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kestro {

enum class MenuBarState : std::uint8_t { connecting, callsAvailable, callsUsedUp };

enum class MenuBarItem : std::uint8_t { connecting, startCall, endCall, callsUsed, weekStreak, requestIncrease, more, quit };

inline constexpr std::array<MenuBarItem, 8> allMenuBarItems = {
    MenuBarItem::connecting, MenuBarItem::startCall,       MenuBarItem::endCall, MenuBarItem::callsUsed,
    MenuBarItem::weekStreak, MenuBarItem::requestIncrease, MenuBarItem::more,    MenuBarItem::quit};

// The entry's title ("Start Call", ...).
std::string_view title(MenuBarItem item);
// The entry whose title is exactly `text`.
std::optional<MenuBarItem> menuBarItem(std::string_view text);

// Where the call stands, as far as the menu cares.
enum class CallActivity : std::uint8_t {
    idle,
    starting,  // the start passed its checks and is not finished
    active,
    sending,   // the ended call's transcript is being uploaded
};

// The entries of `state`, ending with `quit`. While a call is starting, active or sending its
// transcript, the first entry is the call's own ("End Call" while active; the start entry, which
// then shows its busy form, while starting or sending, followed by "End Call" while starting)
// whatever the state, so that a refresh or used-up counts never take away the way to end a
// running call or give up a start.
std::vector<MenuBarItem> menuItems(MenuBarState state, CallActivity call);
// The same with only the "a call is active" flag.
std::vector<MenuBarItem> menuItems(MenuBarState state, bool isCallActive);

}  // namespace kestro
