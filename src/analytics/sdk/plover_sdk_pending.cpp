// Placeholders for the event and flag operations, which live in their own files; this file goes
// when they arrive.
#include "analytics/sdk/plover_sdk.hpp"

namespace plover {

void PloverSDK::capture(const std::string&) {}
void PloverSDK::capture(const std::string&, const std::optional<Properties>&) {}
void PloverSDK::capture(const std::string&, const std::optional<Properties>&, const std::optional<Properties>&) {}
void PloverSDK::capture(const std::string&, const std::optional<Properties>&, const std::optional<Properties>&,
                        const std::optional<Properties>&) {}
void PloverSDK::capture(const std::string&, const std::optional<Properties>&, const std::optional<Properties>&,
                        const std::optional<Properties>&, const std::optional<Groups>&) {}
void PloverSDK::capture(const std::string&, const std::optional<std::string>&, const std::optional<Properties>&,
                        const std::optional<Properties>&, const std::optional<Properties>&,
                        const std::optional<Groups>&) {}
void PloverSDK::capture(const std::string&, const std::optional<std::string>&, const std::optional<Properties>&,
                        const std::optional<Properties>&, const std::optional<Properties>&,
                        const std::optional<Groups>&, const std::optional<Date>&) {}
void PloverSDK::identify(const std::string&, const std::optional<Properties>&, const std::optional<Properties>&) {}
void PloverSDK::alias(const std::string&) {}
void PloverSDK::screen(const std::string&) {}
void PloverSDK::screen(const std::string&, const std::optional<Properties>&) {}
void PloverSDK::group(const std::string&, const std::string&) {}
void PloverSDK::group(const std::string&, const std::string&, const std::optional<Properties>&) {}
std::optional<PloverEvent> PloverSDK::buildEvent(const std::string&, const std::string&, Properties, Date) {
    return std::nullopt;
}
void PloverSDK::mergePersonPropertiesForFlags(const std::optional<Properties>&, const std::optional<Properties>&) {}
PloverSDK::Groups PloverSDK::storeGroups(const Groups&) { return {}; }
void PloverSDK::mergeGroupPropertiesForFlags(const std::string&, const std::optional<Properties>&) {}
void PloverSDK::groupIdentify(const std::string&, const std::string&, const std::optional<Properties>&) {}
void PloverSDK::reportFeatureFlagCalled(const std::string&, const std::optional<json::value>&) {}

void PloverSDK::setPersonPropertiesForFlags(const Properties&) {}
void PloverSDK::setPersonPropertiesForFlags(const Properties&, bool) {}
void PloverSDK::resetPersonPropertiesForFlags() {}
void PloverSDK::setGroupPropertiesForFlags(const std::string&, const Properties&) {}
void PloverSDK::setGroupPropertiesForFlags(const std::string&, const Properties&, bool) {}
void PloverSDK::resetGroupPropertiesForFlags() {}
void PloverSDK::resetGroupPropertiesForFlags(const std::string&) {}
void PloverSDK::reloadFeatureFlags() {}
void PloverSDK::reloadFeatureFlags(std::function<void()>) {}
std::optional<json::value> PloverSDK::getFeatureFlag(const std::string&) { return std::nullopt; }
bool PloverSDK::isFeatureEnabled(const std::string&) { return false; }
std::optional<json::value> PloverSDK::getFeatureFlagPayload(const std::string&) { return std::nullopt; }

}  // namespace plover
