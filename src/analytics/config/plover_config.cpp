#include "analytics/config/plover_config.hpp"

namespace plover {

std::optional<PloverPersonProfiles> personProfilesFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 2) return std::nullopt;
    return static_cast<PloverPersonProfiles>(rawValue);
}

std::optional<PloverConfig::PloverDataMode> PloverConfig::dataModeFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 2) return std::nullopt;
    return static_cast<PloverDataMode>(rawValue);
}

PloverConfig::PloverConfig(std::string apiKey, std::string_view host)
    : host_(Url::parse(host).value_or(*Url::parse(defaultHost))), apiKey_(std::move(apiKey)) {}

void PloverConfig::setBeforeSend(std::vector<BeforeSend> functions) {
    beforeSend_.set(std::make_shared<const std::vector<BeforeSend>>(std::move(functions)));
}

std::optional<PloverEvent> PloverConfig::beforeSend(PloverEvent event) const {
    std::optional<PloverEvent> current(std::move(event));
    auto chain = beforeSend_.get();
    if (!chain) return current;
    for (auto& function : *chain) {
        if (!current) break;
        if (function) current = function(std::move(*current));
    }
    return current;
}

}  // namespace plover
