#include "wayland/exported_menu.hpp"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "wayland/bus_service.hpp"

namespace wayland_test {

namespace {

struct Item {
    std::string service;
    std::string path;
};

// The newest registration: an app started again registers anew.
std::optional<Item> lastItem(const std::string& watcherLog) {
    auto at = watcherLog.rfind("item ");
    if (at == std::string::npos) return std::nullopt;
    std::string item = watcherLog.substr(at + 5, watcherLog.find('\n', at) - at - 5);
    // A registration by service name alone means the item's usual path.
    auto slash = item.find('/');
    return Item{item.substr(0, slash), slash == std::string::npos ? "/StatusNotifierItem" : item.substr(slash)};
}

}  // namespace

ItemProperties exportedItem(const std::string& busAddress, const std::string& watcherLog) {
    ItemProperties properties;
    auto item = lastItem(watcherLog);
    if (!item) return properties;
    BusService reader(busAddress);
    reader.run([&](sd_bus* client) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(client, item->service.c_str(), item->path.c_str(), "org.freedesktop.DBus.Properties",
                               "GetAll", &error, &reply, "s", "org.kde.StatusNotifierItem") >= 0) {
            properties.texts = readStringOptions(reply, [&](const std::string& key, const std::string& contents) {
                properties.types[key] = contents;
                if (key == "IconPixmap" && contents == "a(iiay)") {
                    sd_bus_message_enter_container(reply, 'v', "a(iiay)");
                    sd_bus_message_enter_container(reply, 'a', "(iiay)");
                    int width = 0, height = 0;
                    const void* pixels = nullptr;
                    size_t size = 0;
                    while (sd_bus_message_enter_container(reply, 'r', "iiay") > 0) {
                        sd_bus_message_read(reply, "ii", &width, &height);
                        sd_bus_message_read_array(reply, 'y', &pixels, &size);
                        if (width > 0 && size == std::size_t(width) * std::size_t(height) * 4) ++properties.images;
                        sd_bus_message_exit_container(reply);
                    }
                    sd_bus_message_exit_container(reply);
                    sd_bus_message_exit_container(reply);
                    return true;
                }
                int value = 0;
                if (key != "ItemIsMenu" || contents != "b" || sd_bus_message_read(reply, "v", "b", &value) < 0)
                    return false;
                properties.menuOnly = value != 0;
                return true;
            });
            for (const auto& [key, text] : properties.texts) properties.types[key] = "s";
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    });
    return properties;
}

std::optional<bool> exportedAsMenuOnly(const std::string& busAddress, const std::string& watcherLog) {
    return exportedItem(busAddress, watcherLog).menuOnly;
}

namespace {

// Calls `member` of the last item with `arguments` of `types`, reading a text reply into `text`
// where it is given; whether the item answered.
template <class... Arguments>
bool callItem(const std::string& busAddress, const std::string& watcherLog, const char* interface,
              const char* member, std::string* text, const char* types, Arguments... arguments) {
    auto item = lastItem(watcherLog);
    if (!item) return false;
    bool answered = false;
    BusService caller(busAddress);
    caller.run([&](sd_bus* client) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        answered = sd_bus_call_method(client, item->service.c_str(), item->path.c_str(), interface, member, &error,
                                      &reply, types, arguments...) >= 0;
        const char* read = nullptr;
        if (answered && text && sd_bus_message_read(reply, "s", &read) >= 0 && read) *text = read;
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    });
    return answered;
}

}  // namespace

bool activateItem(const std::string& busAddress, const std::string& watcherLog, int x, int y) {
    return callItem(busAddress, watcherLog, "org.kde.StatusNotifierItem", "Activate", nullptr, "ii", x, y);
}

std::string itemIntrospection(const std::string& busAddress, const std::string& watcherLog) {
    std::string xml;
    callItem(busAddress, watcherLog, "org.freedesktop.DBus.Introspectable", "Introspect", &xml, "");
    return xml;
}

std::string exportedMenuText(const std::string& busAddress, const std::string& watcherLog) {
    auto item = lastItem(watcherLog);
    if (!item) return {};
    const std::string& service = item->service;
    const std::string& path = item->path;
    std::string text;
    BusService reader(busAddress);
    reader.run([&](sd_bus* client) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        std::string menuPath;
        if (sd_bus_get_property(client, service.c_str(), path.c_str(), "org.kde.StatusNotifierItem", "Menu", &error,
                                &reply, "o") >= 0) {
            const char* menu = nullptr;
            if (sd_bus_message_read(reply, "o", &menu) >= 0 && menu) menuPath = menu;
        }
        sd_bus_error_free(&error);
        reply = sd_bus_message_unref(reply);
        if (menuPath.empty()) return;
        if (sd_bus_call_method(client, service.c_str(), menuPath.c_str(), "com.canonical.dbusmenu", "GetLayout", &error,
                               &reply, "iias", 0, -1, 0) >= 0) {
            char* buffer = nullptr;
            std::size_t size = 0;
            FILE* stream = open_memstream(&buffer, &size);
            sd_bus_message_dump(reply, stream, 0);
            std::fclose(stream);
            text.assign(buffer, size);
            std::free(buffer);
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    });
    return text;
}

std::vector<std::string> exportedShortcuts(const std::string& busAddress, const std::string& watcherLog) {
    const std::string text = exportedMenuText(busAddress, watcherLog);
    std::vector<std::string> found;
    const std::string property = "STRING \"shortcut\";";
    for (auto at = text.find(property); at != std::string::npos; at = text.find(property, at + 1)) {
        const auto end = std::min(text.find("DICT_ENTRY", at), text.find("STRUCT", at));
        std::string keys;
        const std::string key = "STRING \"";
        for (auto k = text.find(key, at + property.size()); k < end; k = text.find(key, k + 1)) {
            const auto first = k + key.size();
            keys += (keys.empty() ? "" : "+") + text.substr(first, text.find('"', first) - first);
        }
        if (!keys.empty()) found.push_back(keys);
    }
    return found;
}

}  // namespace wayland_test
