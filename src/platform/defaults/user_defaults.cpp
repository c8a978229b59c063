#include "platform/defaults/user_defaults.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "platform/defaults/atomic_file.hpp"
#include "platform/defaults/xdg_folders.hpp"
#include "platform/desktop/system_logger.hpp"

namespace platform {

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

const Logger& defaultsLogger() {
    static const Logger logger("app.kestro.UserDefaults", "storage");
    return logger;
}

void report(const std::string& message) {
    std::cerr << message << '\n';
    defaultsLogger().error(message);
}

std::optional<UserDefaults::Value> toValue(const json::value& stored) {
    switch (stored.kind()) {
        case json::kind::bool_: return UserDefaults::Value(stored.get_bool());
        case json::kind::int64: return UserDefaults::Value(stored.get_int64());
        case json::kind::uint64: {
            auto value = stored.get_uint64();
            if (value > static_cast<std::uint64_t>(INT64_MAX)) return UserDefaults::Value(static_cast<double>(value));
            return UserDefaults::Value(static_cast<std::int64_t>(value));
        }
        case json::kind::double_: return UserDefaults::Value(stored.get_double());
        case json::kind::string: return UserDefaults::Value(std::string(stored.get_string()));
        default: return std::nullopt;
    }
}

json::value toJson(const UserDefaults::Value& value) {
    return std::visit([](const auto& held) { return json::value(held); }, value);
}

// Well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates or values past U+10FFFF.
bool isValidUTF8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

void requireUTF8(std::string_view text) {
    if (!isValidUTF8(text)) throw std::invalid_argument("user defaults hold only UTF-8 text");
}

// Reads the whole file into `text`; on failure, why it could not. Only a regular file of at most
// UserDefaults::maxFileSize bytes is read, and a pipe planted at the path is never waited on.
std::string readWholeFile(const fs::path& file, std::string& text) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::strerror(errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::strerror(errno);
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    const std::string tooLarge = "larger than " + std::to_string(UserDefaults::maxFileSize) + " bytes";
    if (static_cast<std::uintmax_t>(info.st_size) > UserDefaults::maxFileSize) return tooLarge;
    text.clear();
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::strerror(errno);
        }
        if (got == 0) break;
        // It may have grown since it was looked at.
        if (text.size() + static_cast<std::size_t>(got) > UserDefaults::maxFileSize) return tooLarge;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return {};
}

bool processIsGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// Removes `<file>.tmp-<pid>-<n>` files whose writer is no longer running: a writer killed in the
// middle of a write leaves one behind, each a full copy of the store.
void removeStaleTemporaries(const fs::path& file) {
    const std::string prefix = file.filename().string() + ".tmp-";
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    std::error_code error;
    for (auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix)) continue;
        const char* begin = name.data() + prefix.size();
        const char* end = name.data() + name.size();
        pid_t pid = 0;
        auto [rest, failure] = std::from_chars(begin, end, pid);
        if (failure != std::errc() || rest == end || *rest != '-' || pid <= 0) continue;
        if (pid != ::getpid() && processIsGone(pid)) ::unlink(entry.path().c_str());
    }
}

}  // namespace

// Holds an exclusive lock on the store's folder, so that writers in other processes (kestro
// --set-credential while the tray runs, say) take turns at reading, changing and replacing the file.
// A folder that cannot be made or opened is not locked; the write that follows then fails.
class FolderLock {
public:
    explicit FolderLock(const fs::path& folder) {
        try {
            makePrivateFolders(folder);
        } catch (const std::system_error&) {
            return;
        }
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
    mutable json::object values;
    // The file as last read or written; another process replacing it (or changing its
    // permissions) changes these.
    struct Identity {
        bool exists = false;
        int error = 0;  // why it could not be looked at, other than being absent
        dev_t device = 0;
        ino_t inode = 0;
        std::int64_t modified = 0;
        std::int64_t changed = 0;
        off_t size = 0;
        bool operator==(const Identity&) const = default;
    };
    mutable Identity seen;
    // The file exists but could not be read: nothing is written over it.
    mutable bool unreadable = false;
    bool writeFailureReported = false;

    Identity identity() const {
        struct stat info {};
        if (::stat(file.c_str(), &info) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) return Identity{};
            return Identity{true, errno};
        }
        auto nanoseconds = [](const timespec& at) {
            return static_cast<std::int64_t>(at.tv_sec) * 1000000000 + at.tv_nsec;
        };
        return Identity{true, 0, info.st_dev, info.st_ino, nanoseconds(info.st_mtim), nanoseconds(info.st_ctim),
                        info.st_size};
    }

    // Reads the file again when it is not the one last seen (or, with `retry`, when it could not
    // be read last time). A file that is not a JSON object is moved aside (to file + ".corrupt")
    // and the store starts empty; one that cannot be read leaves the values as they are.
    void reloadIfChanged(bool retry = false) const {
        Identity now = identity();
        if (now == seen && !(retry && unreadable)) return;
        seen = now;
        if (!now.exists) {
            values = json::object();
            unreadable = false;
            return;
        }
        std::string text;
        std::string error = now.error != 0 ? std::strerror(now.error) : readWholeFile(file, text);
        json::value parsed;
        boost::system::error_code failure;
        if (error.empty()) {
            try {
                json::parse_options options;
                options.max_depth = maxNestingDepth;
                parsed = json::parse(text, failure, json::storage_ptr(), options);
            } catch (const std::bad_alloc&) {
                error = "out of memory";
            }
        }
        if (!error.empty()) {
            if (!unreadable) {
                report("Cannot read the settings file " + file.string() + " (" + error +
                       "): changes stay in memory and nothing is written to it until it can be read.");
            }
            unreadable = true;
            return;
        }
        unreadable = false;
        if (!failure && parsed.is_object()) {
            values = std::move(parsed.get_object());
            return;
        }
        values = json::object();
        fs::path aside = file;
        aside += ".corrupt";
        std::error_code ignored;
        fs::rename(file, aside, ignored);
        seen = Identity{};
    }

    // Applies `change` to the current content of the file and writes the result. `change` returns
    // how to undo it, or nothing when it changed nothing.
    void update(const std::function<std::function<void()>(json::object&)>& change) {
        std::lock_guard lock(mutex);
        FolderLock folderLock(file.parent_path());
        reloadIfChanged(/*retry=*/true);
        auto undo = change(values);
        if (!undo || unreadable) return;
        try {
            removeStaleTemporaries(file);
            writeFileAtomically(file, json::serialize(values) + "\n");
        } catch (const std::system_error& error) {
            undo();
            if (!writeFailureReported) {
                report("Cannot save the settings to " + file.string() + ": " + error.what());
                writeFailureReported = true;
            }
            throw;
        }
        writeFailureReported = false;
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
    return toValue(found->value());
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
    requireUTF8(key);
    if (auto* text = std::get_if<std::string>(&value)) requireUTF8(*text);
    json::value stored = toJson(value);
    state_->update([&](json::object& values) -> std::function<void()> {
        // The value it replaces is moved aside, not copied, and moved back on failure.
        auto slot = values.find(key);
        if (slot == values.end()) {
            values.emplace(key, std::move(stored));
            return [&values, &key] { values.erase(key); };
        }
        auto previous = std::make_shared<json::value>(std::move(slot->value()));
        slot->value() = std::move(stored);
        return [&values, &key, previous] { values[key] = std::move(*previous); };
    });
}

void UserDefaults::remove(const std::string& key) {
    state_->update([&](json::object& values) -> std::function<void()> {
        auto slot = values.find(key);
        if (slot == values.end()) return {};
        auto previous = std::make_shared<json::value>(std::move(slot->value()));
        values.erase(slot);
        return [&values, &key, previous] { values.emplace(key, std::move(*previous)); };
    });
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
    for (const auto& entry : state_->values) names.emplace_back(entry.key());
    return names;
}

const fs::path& UserDefaults::file() const { return state_->file; }

}  // namespace platform
