#include "app/app_settings.hpp"

#include <cstdlib>

#include "platform/defaults/user_defaults.hpp"

namespace kestro {
namespace {

std::optional<std::string> configured(const platform::UserDefaults& defaults, std::string_view variable,
                                      std::string_view key) {
    if (const char* value = std::getenv(std::string(variable).c_str()); value && *value) return std::string(value);
    if (auto stored = defaults.string(std::string(key)); stored && !stored->empty()) return stored;
    return std::nullopt;
}

}  // namespace

std::string supportAddress(const platform::UserDefaults& defaults) {
    return configured(defaults, supportAddressVariable, supportAddressKey).value_or(std::string(defaultSupportAddress));
}

std::optional<std::string> updateFeedURL(const platform::UserDefaults& defaults) {
    return configured(defaults, updateFeedURLVariable, updateFeedURLKey);
}

}  // namespace kestro
