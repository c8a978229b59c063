#pragma once
// The tray menu as a StatusNotifier host reads it over DBusMenu: the shortcuts its entries carry
// (the "shortcut" property), each as its keys joined by "+" ("Control+P").

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace wayland_test {

// The item last registered with the watcher whose log is `watcherLog` ("item <service>[/path]"),
// read on the bus at `busAddress`; empty while there is none.
std::vector<std::string> exportedShortcuts(const std::string& busAddress, const std::string& watcherLog);
// The menu's layout as text ("" while there is none), for failure messages.
std::string exportedMenuText(const std::string& busAddress, const std::string& watcherLog);
// The same item's properties as a host reads them all at once: each one's D-Bus type by name,
// the values of those that are texts, the images of its icon whose size matches their pixels,
// and ItemIsMenu's value (none without it).
struct ItemProperties {
    std::map<std::string, std::string> types;
    std::map<std::string, std::string> texts;
    std::size_t images = 0;
    std::optional<bool> menuOnly;
};
ItemProperties exportedItem(const std::string& busAddress, const std::string& watcherLog);
// The same item's ItemIsMenu (whether a host opens the menu on a left click too); none while
// there is no item to ask.
std::optional<bool> exportedAsMenuOnly(const std::string& busAddress, const std::string& watcherLog);
// A left click on the same item as a host sends it (Activate at that point of the screen);
// whether the item answered.
bool activateItem(const std::string& busAddress, const std::string& watcherLog, int x, int y);
// The same item's introspection data, as a host or a bus browser reads it ("" without an answer).
std::string itemIntrospection(const std::string& busAddress, const std::string& watcherLog);

}  // namespace wayland_test
