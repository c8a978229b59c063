#include "platform/defaults/user_defaults.hpp"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "platform/defaults/atomic_file.hpp"

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

struct UserDefaults::State {
    fs::path file;
    mutable std::mutex mutex;
    // Kept as JSON so that entries of other kinds (written by someone else) survive a rewrite.
    json values = json::object();

    void persist() const { writeFileAtomically(file, values.dump(2) + "\n"); }
};

UserDefaults::UserDefaults(fs::path file) : state_(std::make_unique<State>()) {
    state_->file = std::move(file);
    std::ifstream in(state_->file, std::ios::binary);
    if (!in) return;
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    json parsed = json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) {
        state_->values = std::move(parsed);
        return;
    }
    // Unreadable: keep it for inspection and start afresh.
    fs::path aside = state_->file;
    aside += ".corrupt";
    std::error_code ignored;
    fs::rename(state_->file, aside, ignored);
}

UserDefaults::~UserDefaults() = default;

fs::path UserDefaults::defaultPath() {
    fs::path base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config && fs::path(config).is_absolute()) {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = fs::path(home && *home ? home : ".") / ".config";
    }
    return base / "kestro" / "defaults.json";
}

UserDefaults& UserDefaults::standard() {
    static UserDefaults store(defaultPath());
    return store;
}

std::optional<UserDefaults::Value> UserDefaults::value(const std::string& key) const {
    std::lock_guard lock(state_->mutex);
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
    std::lock_guard lock(state_->mutex);
    json previous = state_->values;
    state_->values[key] = toJson(value);
    try {
        state_->persist();
    } catch (...) {
        state_->values = std::move(previous);
        throw;
    }
}

void UserDefaults::remove(const std::string& key) {
    std::lock_guard lock(state_->mutex);
    auto found = state_->values.find(key);
    if (found == state_->values.end()) return;
    json previous = state_->values;
    state_->values.erase(found);
    try {
        state_->persist();
    } catch (...) {
        state_->values = std::move(previous);
        throw;
    }
}

bool UserDefaults::contains(const std::string& key) const {
    std::lock_guard lock(state_->mutex);
    return state_->values.contains(key);
}

std::vector<std::string> UserDefaults::keys() const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> names;
    for (auto& [name, stored] : state_->values.items()) names.push_back(name);
    return names;
}

const fs::path& UserDefaults::file() const { return state_->file; }

}  // namespace platform
