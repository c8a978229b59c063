#pragma once
// Settings of the tray application besides the backend's: each comes from the environment (for
// tests and self-hosting), else from the user defaults, else from its compiled-in default.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class UserDefaults;
}

namespace kestro {

inline constexpr std::string_view defaultSupportAddress = "support@kestro.app";
inline constexpr std::string_view supportAddressKey = "Kestro_SupportAddress";
inline constexpr std::string_view supportAddressVariable = "KESTRO_SUPPORT_ADDRESS";

inline constexpr std::string_view updateFeedURLKey = "Kestro_UpdateFeedURL";
inline constexpr std::string_view updateFeedURLVariable = "KESTRO_UPDATE_FEED_URL";

// The address the "Request Increase" and "Support/Feedback" mail link goes to.
std::string supportAddress(const platform::UserDefaults& defaults);

// The update feed; none (the default) leaves "Check for Updates" disabled.
std::optional<std::string> updateFeedURL(const platform::UserDefaults& defaults);

// The command the menu tells the user to run to store a credential: "kestro --set-credential"
// when `kestro` on `searchPath` (a PATH value) is `executable`, else the executable's own path
// (quoted for the shell where needed) followed by " --set-credential".
std::string credentialCommand(const std::filesystem::path& executable, std::string_view searchPath);

}  // namespace kestro
