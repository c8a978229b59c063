#pragma once
// A persistent, typed key-value store kept as one JSON object in a file
// ($XDG_CONFIG_HOME/kestro/defaults.json for the process-wide store). Several stores, in this
// process or others, may share one file: reads see what another one wrote, and each write changes
// the file's current content under an exclusive lock on its folder, so no one's keys are lost.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

class UserDefaults {
public:
    // The JSON kinds a value may have; integers and reals are kept apart.
    using Value = std::variant<bool, std::int64_t, double, std::string>;

    // Values nested deeper than this in the file make it corrupt.
    static constexpr std::size_t maxNestingDepth = 64;
    // A file larger than this, or one that is not a regular file (a pipe, a device), cannot be read.
    static constexpr std::size_t maxFileSize = 4 * 1024 * 1024;

    // Opens (or starts) the store kept in `file`. A file that is not a JSON object, or nests
    // deeper than maxNestingDepth, is moved aside (to `file` + ".corrupt") and the store starts
    // empty. A file that exists but cannot be read is never written over: the store says why once
    // (standard error and the system log), keeps its changes in memory only, and writes again once
    // the file can be read.
    explicit UserDefaults(std::filesystem::path file);
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // $XDG_CONFIG_HOME/kestro/defaults.json (or ~/.config/kestro/defaults.json).
    static std::filesystem::path defaultPath();
    // The process-wide store at defaultPath(), opened on first use.
    static UserDefaults& standard();

    std::optional<Value> value(const std::string& key) const;
    // Typed reads: absent when the key is missing or holds another kind. integer() also reads a
    // real that is integral; number() reads integers too.
    std::optional<std::string> string(const std::string& key) const;
    std::optional<std::int64_t> integer(const std::string& key) const;
    std::optional<double> number(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;

    // Every write is persisted before it returns (temporary file, fsync, rename; mode 0600);
    // temporary files left by writers that died are removed on the way. When the file cannot be
    // written, the change is undone, the first failure in a row is reported (standard error and
    // the system log) and std::system_error is thrown. Keys and texts must be valid UTF-8
    // (std::invalid_argument otherwise).
    void set(const std::string& key, Value value);
    void set(const std::string& key, const char* value) { set(key, Value(std::string(value))); }
    void set(const std::string& key, int value) { set(key, Value(std::int64_t{value})); }
    // Exact overloads, so that a double or a bool never converts to int on the way in.
    void set(const std::string& key, std::int64_t value) { set(key, Value(value)); }
    void set(const std::string& key, double value) { set(key, Value(value)); }
    void set(const std::string& key, bool value) { set(key, Value(value)); }
    void set(const std::string& key, std::string value) { set(key, Value(std::move(value))); }
    void remove(const std::string& key);
    bool contains(const std::string& key) const;
    std::vector<std::string> keys() const;

    const std::filesystem::path& file() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
