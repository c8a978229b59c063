#include "app/app_settings.hpp"

#include <cstdlib>
#include <system_error>

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

std::string credentialCommand(const std::filesystem::path& executable, std::string_view searchPath) {
    const std::string_view option = " --set-credential";
    std::size_t begin = 0;
    while (begin <= searchPath.size()) {
        auto end = searchPath.find(':', begin);
        if (end == std::string_view::npos) end = searchPath.size();
        auto folder = searchPath.substr(begin, end - begin);
        begin = end + 1;
        if (folder.empty()) continue;
        std::error_code error;
        if (std::filesystem::equivalent(std::filesystem::path(folder) / "kestro", executable, error) && !error)
            return "kestro" + std::string(option);
    }
    auto text = executable.string();
    bool plain = !text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                         "0123456789/._-+") == std::string::npos;
    if (plain) return text + std::string(option);
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'" + std::string(option);
}

}  // namespace kestro
