#pragma once
// What the C interface's entry points share: the edge where exceptions become status codes, and
// the conversions of C arguments. Included only by the interface's own sources.

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "analytics/capi/plover_c_handles.hpp"
#include "analytics/config/plover_config.hpp"
#include "analytics/sdk/plover_sdk.hpp"
#include "analytics/util/dates.hpp"
#include "analytics/util/value.hpp"
#include "platform/json/json.hpp"

namespace plover_capi {

using plover::Properties;


// An argument the caller must correct.
struct InvalidArgument : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// What the call had to keep could not be stored.
struct NotStored {};

template <class F>
plover_status guarded(F&& body) noexcept {
    try {
        body();
        return PLOVER_OK;
    } catch (const InvalidArgument&) {
        return PLOVER_INVALID_ARGUMENT;
    } catch (const NotStored&) {
        return PLOVER_NOT_STORED;
    } catch (...) {
        return PLOVER_FAILED;
    }
}

// Runs `body` for its result; `fallback` when it throws.
template <class T, class F>
T guardedValue(T fallback, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

inline char* copyOut(std::string_view text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

inline char* copyOut(const std::string& text) { return copyOut(std::string_view(text)); }
inline char* copyOut(const std::optional<std::string>& text) { return text ? copyOut(std::string_view(*text)) : nullptr; }

// A required string argument.
inline std::string text(const char* value) {
    if (!value) throw InvalidArgument("missing text");
    std::string_view view(value);
    if (!platform::json::isValidUtf8(view)) throw InvalidArgument("text is not UTF-8");
    return std::string(view);
}

inline std::optional<std::string> optionalText(const char* value) {
    if (!value) return std::nullopt;
    return text(value);
}

inline plover::json::value parseJson(const char* value) {
    std::string error;
    auto parsed = platform::json::read(value, &error);
    if (!parsed) throw InvalidArgument(error);
    return std::move(*parsed);
}

inline std::optional<Properties> optionalProperties(const char* json) {
    if (!json) return std::nullopt;
    auto value = parseJson(json);
    if (!value.is_object()) throw InvalidArgument("properties are not a JSON object");
    return plover::propertiesFromJson(value.as_object());
}

inline Properties properties(const char* json) {
    auto parsed = optionalProperties(json);
    if (!parsed) throw InvalidArgument("missing properties");
    return std::move(*parsed);
}

inline std::optional<plover::PloverSDK::Groups> optionalGroups(const char* json) {
    if (!json) return std::nullopt;
    auto value = parseJson(json);
    if (!value.is_object()) throw InvalidArgument("groups are not a JSON object");
    plover::PloverSDK::Groups groups;
    for (const auto& member : value.as_object()) {
        if (!member.value().is_string()) throw InvalidArgument("a group key is not a string");
        groups.emplace(std::string(member.key()), std::string(member.value().as_string()));
    }
    return groups;
}

// Seconds since 1970 as a point in time; refuses what the clock cannot hold.
inline plover::Date dateFromSeconds(double seconds) {
    // About ±3000 years: well inside the clock's range, so the conversion cannot overflow.
    constexpr double limit = 1e11;
    if (!std::isfinite(seconds) || std::fabs(seconds) > limit) throw InvalidArgument("time out of range");
    // Whole seconds and their fraction apart, so that a time read back is the one given.
    double whole = std::floor(seconds);
    auto fraction = std::chrono::nanoseconds(std::llround((seconds - whole) * 1e9));
    auto since = std::chrono::seconds(static_cast<long long>(whole)) + fraction;
    return plover::Date(std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
}

// What a C callback's user data needs: its destroy function runs once, with the last holder.
struct UserData {
    void* data;
    plover_destroy_fn destroy;
    UserData(void* data, plover_destroy_fn destroy) : data(data), destroy(destroy) {}
    ~UserData() {
        if (destroy) destroy(data);
    }
    UserData(const UserData&) = delete;
    UserData& operator=(const UserData&) = delete;
};

// Holds the caller's data; when even that cannot be allocated, the data goes to its destroy
// function at once. Either way it is released exactly once, and nothing is thrown.
inline std::shared_ptr<UserData> holdUserData(void* data, plover_destroy_fn destroy) noexcept {
    try {
        return std::make_shared<UserData>(data, destroy);
    } catch (...) {
        if (destroy) destroy(data);
        return nullptr;
    }
}

inline plover::PloverEvent& eventOf(plover_event* event) {
    if (!event) throw InvalidArgument("missing event");
    return *reinterpret_cast<plover::PloverEvent*>(event);
}

inline const plover::PloverEvent& eventOf(const plover_event* event) {
    if (!event) throw InvalidArgument("missing event");
    return *reinterpret_cast<const plover::PloverEvent*>(event);
}

inline plover::PloverConfig& configOf(plover_config* config) {
    if (!config) throw InvalidArgument("missing configuration");
    return *config->config;
}

inline const plover::PloverConfig& configOf(const plover_config* config) {
    if (!config) throw InvalidArgument("missing configuration");
    return *config->config;
}

inline plover::PloverSDK& sdkOf(plover_sdk* sdk) {
    if (!sdk) throw InvalidArgument("missing instance");
    return *sdk->sdk;
}

inline std::optional<std::string> jsonText(const std::optional<plover::json::value>& value) {
    if (!value) return std::nullopt;
    return platform::json::write(*value);
}

}  // namespace plover_capi
