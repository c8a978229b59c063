#include "analytics/config/plover_config.hpp"

#include <cctype>

namespace plover {

std::optional<PloverPersonProfiles> personProfilesFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 2) return std::nullopt;
    return static_cast<PloverPersonProfiles>(rawValue);
}

std::optional<PloverConfig::PloverDataMode> PloverConfig::dataModeFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 2) return std::nullopt;
    return static_cast<PloverDataMode>(rawValue);
}

namespace {

// Why `text` cannot be the base of the service's requests; nothing when it can.
std::optional<std::string> hostProblemOf(std::string_view text, const std::optional<Url>& url) {
    std::string quoted = "\"" + std::string(text) + "\"";
    if (!url) return "The host " + quoted + " is not a URL; write it with its scheme, such as https://" + std::string(text);
    std::string scheme;
    for (char c : url->scheme()) scheme.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if ((scheme != "http" && scheme != "https") || !url->authority() || url->hostName().empty()) {
        return "The host " + quoted + " is not an http or https URL with a host name, such as https://" +
               std::string(text);
    }
    return std::nullopt;
}

}  // namespace

PloverConfig::PloverConfig(std::string apiKey, std::string_view host) : apiKey_(std::move(apiKey)) {
    // A host that cannot be used is kept as it is, never replaced by another one: the events and
    // the key go to the host the application named or nowhere (setup refuses the configuration).
    auto parsed = Url::parse(host);
    hostProblem_ = hostProblemOf(host, parsed);
    host_ = parsed.value_or(Url());
}

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
