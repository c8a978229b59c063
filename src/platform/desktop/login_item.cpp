#include "platform/desktop/login_item.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/defaults/atomic_file.hpp"
#include "platform/defaults/xdg_folders.hpp"
#include "platform/desktop/desktop_entry.hpp"
#include "platform/desktop/system_logger.hpp"

namespace platform {
namespace {

namespace fs = std::filesystem;

const Logger& loginItemLogger() {
    static const Logger logger("app.kestro.LoginItem", "main");
    return logger;
}

std::string trim(std::string_view text) {
    auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) return {};
    auto end = text.find_last_not_of(" \t\r");
    return std::string(text.substr(begin, end - begin + 1));
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string errnoText(int error) { return std::strerror(error); }

// "<what> <path>: <reason>", built step by step (one long + chain trips a false -Wrestrict at -O3).
LoginItemError failure(std::string_view what, const fs::path& path, std::string_view reason) {
    std::string text(what);
    text += ' ';
    text += path.string();
    text += ": ";
    text += reason;
    return LoginItemError(text);
}

}  // namespace

XdgAutostartService::XdgAutostartService(fs::path entry, fs::path executable)
    : entry_(std::move(entry)), executable_(std::move(executable)) {}

fs::path XdgAutostartService::defaultEntryPath() {
    return xdgFolder("XDG_CONFIG_HOME", ".config") / "autostart" / "kestro.desktop";
}

fs::path XdgAutostartService::currentExecutable() {
    std::error_code error;
    auto path = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path("kestro") : path;
}

LoginItemStatus XdgAutostartService::status() const {
    std::ifstream file(entry_);
    if (!file) return LoginItemStatus::notRegistered;
    bool inMainGroup = false;
    std::string line;
    while (std::getline(file, line)) {
        auto text = trim(line);
        if (text.empty() || text.front() == '#') continue;
        if (text.front() == '[') {
            inMainGroup = text == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) continue;
        auto equals = text.find('=');
        if (equals == std::string::npos) continue;
        if (trim(text.substr(0, equals)) == "Hidden" && lowercase(trim(text.substr(equals + 1))) == "true") {
            return LoginItemStatus::notRegistered;
        }
    }
    return LoginItemStatus::enabled;
}

std::string XdgAutostartService::entryText() const {
    std::ostringstream text;
    text << "[Desktop Entry]\n"
         << "Type=Application\n"
         << "Name=Kestro\n"
         << "Comment=Tray voice assistant\n"
         << "Exec=" << desktopExecArgument(executable_.string()) << ' ' << launchedAtLoginArgument << '\n'
         << "Terminal=false\n"
         << "X-GNOME-Autostart-enabled=true\n";
    return text.str();
}

void XdgAutostartService::registerItem() {
    auto directory = entry_.parent_path();
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) {
        throw failure("Could not create the autostart folder", directory, error.message());
    }
    try {
        writeFileAtomically(entry_, entryText(), 0644);
    } catch (const std::system_error& failed) {
        throw failure("Could not write the autostart entry", entry_, errnoText(failed.code().value()));
    }
}

void XdgAutostartService::unregisterItem() {
    if (status() != LoginItemStatus::enabled) {
        throw LoginItemError("Kestro is not registered to start at login");
    }
    if (::unlink(entry_.c_str()) != 0 && errno != ENOENT) {
        throw failure("Could not remove the autostart entry", entry_, errnoText(errno));
    }
}

Subscription LoginItem::Observable::onWillChange(std::function<void()> observer) {
    auto id = nextId_++;
    observers_->emplace_back(id, std::move(observer));
    std::weak_ptr weak = observers_;
    return Subscription([weak, id] {
        if (auto observers = weak.lock()) {
            std::erase_if(*observers, [id](const auto& entry) { return entry.first == id; });
        }
    });
}

void LoginItem::Observable::announce() {
    auto snapshot = *observers_;
    for (auto& [id, observer] : snapshot) {
        bool stillSubscribed = std::any_of(observers_->begin(), observers_->end(),
                                           [id = id](const auto& entry) { return entry.first == id; });
        if (stillSubscribed) observer();
    }
}

LoginItem::LoginItem(std::shared_ptr<LoginItemService> service) : service_(std::move(service)) {}

bool LoginItem::isEnabled() const { return service_->status() == LoginItemStatus::enabled; }

void LoginItem::setEnabled(bool enabled) {
    observable_.announce();
    try {
        if (enabled) {
            if (service_->status() == LoginItemStatus::enabled) {
                try {
                    service_->unregisterItem();
                } catch (const LoginItemError&) {
                    // Registering again below decides the outcome.
                }
            }
            service_->registerItem();
        } else {
            service_->unregisterItem();
        }
    } catch (const std::exception& failure) {
        std::string message = "Failed to ";
        message += enabled ? "enable" : "disable";
        message += " launch at login: ";
        message += failure.what();
        loginItemLogger().error(message);
    }
}

bool LoginItem::wasLaunchedAtLogin(const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == launchedAtLoginArgument) return true;
    }
    return false;
}

}  // namespace platform
