#include "kde/kglobalaccel_service.hpp"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "support/test_runtime.hpp"

namespace kde_test {
namespace {

constexpr const char* program = "/usr/bin/kglobalaccel5";
constexpr const char* service = "org.kde.kglobalaccel";

std::vector<std::int32_t> readSequences(sd_bus_message* reply) {
    std::vector<std::int32_t> keys;
    if (!reply || sd_bus_message_enter_container(reply, 'a', "(ai)") <= 0) return keys;
    while (sd_bus_message_enter_container(reply, 'r', "ai") > 0) {
        const void* data = nullptr;
        std::size_t size = 0;
        sd_bus_message_read_array(reply, 'i', &data, &size);
        if (size >= sizeof(std::int32_t) && static_cast<const std::int32_t*>(data)[0] != 0) {
            keys.push_back(static_cast<const std::int32_t*>(data)[0]);
        }
        sd_bus_message_exit_container(reply);
    }
    return keys;
}

int appendId(sd_bus_message* message, const std::vector<std::string>& id) {
    int result = sd_bus_message_open_container(message, 'a', "s");
    for (const auto& part : id) {
        if (result >= 0) result = sd_bus_message_append(message, "s", part.c_str());
    }
    return result < 0 ? result : sd_bus_message_close_container(message);
}

int appendKeys(sd_bus_message* message, std::optional<std::int32_t> key) {
    if (!key) return sd_bus_message_append(message, "a(ai)", 0u);
    return sd_bus_message_append(message, "a(ai)", 1u, 4u, *key, 0, 0, 0);
}

}  // namespace

std::string KGlobalAccelService::unavailable() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return "no X display for KDE's shortcut service (scripts/test.sh starts Xvfb)";
    if (::access(program, X_OK) != 0) {
        return "kglobalaccel5 is not installed (scripts/install-deps.sh installs libkf5globalaccel-bin)";
    }
    if (std::system("command -v dbus-daemon >/dev/null 2>&1") != 0) return "dbus-daemon is not installed";
    return {};
}

KGlobalAccelService::KGlobalAccelService(const std::filesystem::path& folder)
    : folder_(folder), config_(folder / "kde-config"), bus_(folder / "kde-bus") {
    std::filesystem::create_directories(config_);
    std::filesystem::create_directories(folder_ / "kde-runtime");
    ::chmod((folder_ / "kde-runtime").c_str(), 0700);
}

KGlobalAccelService::~KGlobalAccelService() {
    client_.reset();
    service_.reset();
}

bool KGlobalAccelService::start() {
    if (!bus_.started()) return false;
    ++starts_;
    service_ = std::make_unique<wayland_test::Program>(
        std::vector<std::string>{program},
        std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", bus_.address()},
                                           {"QT_QPA_PLATFORM", "xcb"},
                                           {"XDG_CONFIG_HOME", config_.string()},
                                           {"XDG_RUNTIME_DIR", (folder_ / "kde-runtime").string()},
                                           {"HOME", folder_.string()}},
        folder_ / ("kglobalaccel-" + std::to_string(starts_) + ".log"));
    if (!client_) client_ = std::make_unique<wayland_test::BusService>(bus_.address());
    return support::eventually([&] { return client_->hasOwner(service); }, std::chrono::seconds(20));
}

void KGlobalAccelService::stop() {
    if (!service_) return;
    service_->stop();
    service_.reset();
    support::eventually([&] { return !client_->hasOwner(service); }, std::chrono::seconds(10));
}

std::string KGlobalAccelService::log() const {
    std::string text;
    for (int i = 1; i <= starts_; ++i) {
        text += wayland_test::fileText(folder_ / ("kglobalaccel-" + std::to_string(i) + ".log"));
    }
    return "kglobalaccel5 printed:\n" + text;
}

std::vector<std::int32_t> KGlobalAccelService::keys(const std::vector<std::string>& actionId) {
    std::vector<std::int32_t> keys;
    client_->run([&](sd_bus* bus) {
        sd_bus_message* reply = nullptr;
        sd_bus_message* message = nullptr;
        if (sd_bus_message_new_method_call(bus, &message, service, "/kglobalaccel", "org.kde.KGlobalAccel",
                                           "shortcutKeys") >= 0 &&
            appendId(message, actionId) >= 0 && sd_bus_call(bus, message, 0, nullptr, &reply) >= 0) {
            keys = readSequences(reply);
        }
        sd_bus_message_unref(reply);
        sd_bus_message_unref(message);
    });
    return keys;
}

std::vector<std::int32_t> KGlobalAccelService::defaultKeys(const std::vector<std::string>& actionId) {
    std::vector<std::int32_t> keys;
    client_->run([&](sd_bus* bus) {
        sd_bus_message* reply = nullptr;
        sd_bus_message* message = nullptr;
        if (sd_bus_message_new_method_call(bus, &message, service, "/kglobalaccel", "org.kde.KGlobalAccel",
                                           "defaultShortcutKeys") >= 0 &&
            appendId(message, actionId) >= 0 && sd_bus_call(bus, message, 0, nullptr, &reply) >= 0) {
            keys = readSequences(reply);
        }
        sd_bus_message_unref(reply);
        sd_bus_message_unref(message);
    });
    return keys;
}

std::vector<std::vector<std::string>> KGlobalAccelService::actions(const std::string& component) {
    std::vector<std::vector<std::string>> actions;
    client_->run([&](sd_bus* bus) {
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus, service, "/kglobalaccel", "org.kde.KGlobalAccel", "allActionsForComponent",
                               nullptr, &reply, "as", 1u, component.c_str()) >= 0 &&
            sd_bus_message_enter_container(reply, 'a', "as") > 0) {
            char** strings = nullptr;
            while (sd_bus_message_read_strv(reply, &strings) > 0 && strings) {
                std::vector<std::string> id;
                for (char** s = strings; *s; ++s) {
                    id.emplace_back(*s);
                    std::free(*s);
                }
                std::free(strings);
                strings = nullptr;
                actions.push_back(id);
            }
        }
        sd_bus_message_unref(reply);
    });
    return actions;
}

bool KGlobalAccelService::isActive(const std::string& component) {
    int active = 0;
    client_->run([&](sd_bus* bus) {
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus, service, ("/component/" + component).c_str(), "org.kde.kglobalaccel.Component",
                               "isActive", nullptr, &reply, "") >= 0) {
            sd_bus_message_read(reply, "b", &active);
        }
        sd_bus_message_unref(reply);
    });
    return active != 0;
}

void KGlobalAccelService::setForeignKeys(const std::vector<std::string>& actionId, std::optional<std::int32_t> key) {
    client_->run([&](sd_bus* bus) {
        sd_bus_message* message = nullptr;
        sd_bus_message* reply = nullptr;
        if (sd_bus_message_new_method_call(bus, &message, service, "/kglobalaccel", "org.kde.KGlobalAccel",
                                           "setForeignShortcutKeys") >= 0 &&
            appendId(message, actionId) >= 0 && appendKeys(message, key) >= 0) {
            sd_bus_call(bus, message, 0, nullptr, &reply);
        }
        sd_bus_message_unref(reply);
        sd_bus_message_unref(message);
    });
}

void KGlobalAccelService::holdForOther(const std::string& component, const std::string& action, std::int32_t key) {
    const std::vector<std::string> id{component, action, component, action};
    client_->run([&](sd_bus* bus) {
        for (std::uint32_t flags : {0u, 8u, 2u}) {
            sd_bus_message* message = nullptr;
            sd_bus_message* reply = nullptr;
            int result = sd_bus_message_new_method_call(bus, &message, service, "/kglobalaccel", "org.kde.KGlobalAccel",
                                                        flags == 0 ? "doRegister" : "setShortcutKeys");
            if (result >= 0) result = appendId(message, id);
            if (result >= 0 && flags != 0) result = appendKeys(message, key);
            if (result >= 0 && flags != 0) result = sd_bus_message_append(message, "u", flags);
            if (result >= 0) sd_bus_call(bus, message, 0, nullptr, &reply);
            sd_bus_message_unref(reply);
            sd_bus_message_unref(message);
        }
    });
}

void KGlobalAccelService::forgePress(const std::string& component, const std::string& action) {
    client_->run([&](sd_bus* bus) {
        sd_bus_emit_signal(bus, ("/component/" + component).c_str(), "org.kde.kglobalaccel.Component",
                           "globalShortcutPressed", "ssx", component.c_str(), action.c_str(), std::int64_t{1});
    });
}

std::string KGlobalAccelService::store() const { return wayland_test::fileText(config_ / "kglobalshortcutsrc"); }

}  // namespace kde_test
