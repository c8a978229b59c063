#include "app/menu_bar_state.hpp"

#include <algorithm>

namespace kestro {

std::string_view title(MenuBarItem item) {
    switch (item) {
        case MenuBarItem::connecting: return "Connecting";
        case MenuBarItem::startCall: return "Start Call";
        case MenuBarItem::endCall: return "End Call";
        case MenuBarItem::callsUsed: return "Calls Used";
        case MenuBarItem::weekStreak: return "Week Streak";
        case MenuBarItem::requestIncrease: return "Request Increase";
        case MenuBarItem::more: return "More";
        case MenuBarItem::quit: return "Quit";
    }
    return {};
}

std::optional<MenuBarItem> menuBarItem(std::string_view text) {
    for (auto item : allMenuBarItems) {
        if (title(item) == text) return item;
    }
    return std::nullopt;
}

std::vector<MenuBarItem> menuItems(MenuBarState state, CallActivity call) {
    std::vector<MenuBarItem> items;
    switch (state) {
        case MenuBarState::connecting:
            items = {MenuBarItem::connecting, MenuBarItem::more};
            break;
        case MenuBarState::callsAvailable:
            items = {MenuBarItem::startCall, MenuBarItem::callsUsed, MenuBarItem::weekStreak, MenuBarItem::more};
            break;
        case MenuBarState::callsUsedUp:
            items = {MenuBarItem::requestIncrease, MenuBarItem::callsUsed, MenuBarItem::weekStreak, MenuBarItem::more};
            break;
    }
    switch (call) {
        case CallActivity::idle: break;
        case CallActivity::active: items.front() = MenuBarItem::endCall; break;
        case CallActivity::starting:
            // A start waiting for its credential can be given up.
            items.front() = MenuBarItem::startCall;
            items.insert(items.begin() + 1, MenuBarItem::endCall);
            break;
        case CallActivity::sending: items.front() = MenuBarItem::startCall; break;
    }
    if (std::find(items.begin(), items.end(), MenuBarItem::quit) == items.end()) items.push_back(MenuBarItem::quit);
    return items;
}

std::vector<MenuBarItem> menuItems(MenuBarState state, bool isCallActive) {
    return menuItems(state, isCallActive ? CallActivity::active : CallActivity::idle);
}

}  // namespace kestro
