#include "platform/defaults/user_defaults.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cmath>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "platform/defaults/atomic_file.hpp"
#include "platform/defaults/xdg_folders.hpp"

namespace platform {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::optional<UserDefaults::Value> toValue(const json& stored) {
    switch (stored.type()) {
        case json::value_t::boolean: return UserDefaults::Value(stored.get<bool>());
        case json::value_t::number_integer: return UserDefaults::Value(stored.get<std::int64_t>());
        case json::value_t::number_unsigned: {
            auto value = stored.get<std::uint64_t>();
            if (value > static_cast<std::uint64_t>(INT64_MAX)) return UserDefaults::Value(static_cast<double>(value));
            return UserDefaults::Value(static_cast<std::int64_t>(value));
        }
        case json::value_t::number_float: return UserDefaults::Value(stored.get<double>());
        case json::value_t::string: return UserDefaults::Value(stored.get<std::string>());
        default: return std::nullopt;
    }
}

json toJson(const UserDefaults::Value& value) {
    return std::visit([](const auto& held) { return json(held); }, value);
}

}  // namespace

// Holds an exclusive lock on the store's folder, so that writers in other processes (kestro
// --set-credential while the tray runs, say) take turns at reading, changing and replacing the file.
class FolderLock {
public:
    explicit FolderLock(const fs::path& folder) {
        makePrivateFolders(folder);
        fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

struct UserDefaults::State {
    fs::path file;
    mutable std::mutex mutex;
    // Kept as JSON so that entries of other kinds (written by someone else) survive a rewrite.
    mutable json values = json::object();
    // The file as last read or written; another process replacing it changes these.
    struct Identity {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        std::int64_t modified = 0;
        off_t size = 0;
        bool operator==(const Identity&) const = default;
    };
    mutable Identity seen;

    Identity identity() const {
        struct stat info {};
        if (::stat(file.c_str(), &info) != 0) return Identity{};
        return Identity{true, info.st_dev, info.st_ino,
                        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                        info.st_size};
    }

    // Reads the file again when it is not the one last seen. A file that is not a JSON object is
    // moved aside (to file + ".corrupt") and the store starts empty.
    void reloadIfChanged() const {
        Identity now = identity();
        if (now == seen) return;
        seen = now;
        values = json::object();
        if (!now.exists) return;
        std::ifstream in(file, std::ios::binary);
        if (!in) return;
        std::stringstream text;
        text << in.rdbuf();
        in.close();
        json parsed = json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
        if (parsed.is_object()) {
            values = std::move(parsed);
            return;
        }
        fs::path aside = file;
        aside += ".corrupt";
        std::error_code ignored;
        fs::rename(file, aside, ignored);
        seen = Identity{};
    }

    // Applies `change` to the current content of the file and writes the result.
    template <class Change>
    void update(Change&& change) {
        std::lock_guard lock(mutex);
        FolderLock folderLock(file.parent_path());
        reloadIfChanged();
        json previous = values;
        if (!change(values)) return;
        try {
            writeFileAtomically(file, values.dump(2) + "\n");
        } catch (...) {
            values = std::move(previous);
            throw;
        }
        seen = identity();
    }
};

UserDefaults::UserDefaults(fs::path file) : state_(std::make_unique<State>()) {
    state_->file = std::move(file);
    std::lock_guard lock(state_->mutex);
    state_->reloadIfChanged();
}

UserDefaults::~UserDefaults() = default;

fs::path UserDefaults::defaultPath() {
    return xdgFolder("XDG_CONFIG_HOME", ".config") / "kestro" / "defaults.json";
}

UserDefaults& UserDefaults::standard() {
    static UserDefaults store(defaultPath());
    return store;
}

std::optional<UserDefaults::Value> UserDefaults::value(const std::string& key) const {
    std::lock_guard lock(state_->mutex);
    state_->reloadIfChanged();
    auto found = state_->values.find(key);
    if (found == state_->values.end()) return std::nullopt;
    return toValue(*found);
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    auto held = value(key);
    if (!held) return std::nullopt;
    if (auto* text = std::get_if<std::string>(&*held)) return *text;
    return std::nullopt;
}

std::optional<std::int64_t> UserDefaults::integer(const std::string& key) const {
    auto held = value(key);
    if (!held) return std::nullopt;
    if (auto* whole = std::get_if<std::int64_t>(&*held)) return *whole;
    if (auto* real = std::get_if<double>(&*held)) {
        if (std::isfinite(*real) && std::trunc(*real) == *real && std::fabs(*real) < 9.2e18) {
            return static_cast<std::int64_t>(*real);
        }
    }
    return std::nullopt;
}

std::optional<double> UserDefaults::number(const std::string& key) const {
    auto held = value(key);
    if (!held) return std::nullopt;
    if (auto* real = std::get_if<double>(&*held)) return *real;
    if (auto* whole = std::get_if<std::int64_t>(&*held)) return static_cast<double>(*whole);
    return std::nullopt;
}

std::optional<bool> UserDefaults::boolean(const std::string& key) const {
    auto held = value(key);
    if (!held) return std::nullopt;
    if (auto* flag = std::get_if<bool>(&*held)) return *flag;
    return std::nullopt;
}

void UserDefaults::set(const std::string& key, Value value) {
    state_->update([&](json& values) {
        values[key] = toJson(value);
        return true;
    });
}

void UserDefaults::remove(const std::string& key) {
    state_->update([&](json& values) { return values.erase(key) > 0; });
}

bool UserDefaults::contains(const std::string& key) const {
    std::lock_guard lock(state_->mutex);
    state_->reloadIfChanged();
    return state_->values.contains(key);
}

std::vector<std::string> UserDefaults::keys() const {
    std::lock_guard lock(state_->mutex);
    state_->reloadIfChanged();
    std::vector<std::string> names;
    for (auto& [name, stored] : state_->values.items()) names.push_back(name);
    return names;
}

const fs::path& UserDefaults::file() const { return state_->file; }

}  // namespace platform
