#pragma once
// The tray menu as a StatusNotifier host reads it over DBusMenu: the shortcuts its entries carry
// (the "shortcut" property), each as its keys joined by "+" ("Control+P").

#include <string>
#include <vector>

namespace wayland_test {

// The item last registered with the watcher whose log is `watcherLog` ("item <service>[/path]"),
// read on the bus at `busAddress`; empty while there is none.
std::vector<std::string> exportedShortcuts(const std::string& busAddress, const std::string& watcherLog);
// The menu's layout as text ("" while there is none), for failure messages.
std::string exportedMenuText(const std::string& busAddress, const std::string& watcherLog);
// A left click on the same item as a host sends it (Activate at that point of the screen);
// whether the item answered.
bool activateItem(const std::string& busAddress, const std::string& watcherLog, int x, int y);

}  // namespace wayland_test
