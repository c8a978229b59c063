#include "analytics/screen/plover_view_modifier.hpp"

#include <cxxabi.h>

#include <cstdlib>

#include "analytics/sdk/plover_sdk.hpp"

namespace plover {

void PloverViewModifier::onAppear() const {
    auto plover = plover_ ? plover_ : PloverSDK::shared();
    if (screenEvent_) {
        plover->screen(viewEventName_, properties_);
    } else {
        plover->capture(viewEventName_, properties_);
    }
}

std::string unqualifiedTypeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                          &std::free);
    std::string name = status == 0 && demangled ? demangled.get() : type.name();
    // The last "::" outside template arguments ends the qualification.
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c == '<' || c == '(') {
            ++depth;
        } else if ((c == '>' || c == ')') && depth > 0) {
            --depth;
        } else if (depth == 0 && c == ':' && i + 1 < name.size() && name[i + 1] == ':') {
            start = i + 2;
            ++i;
        }
    }
    return name.substr(start);
}

PloverViewModifier ploverViewSeen(std::string eventName, std::optional<Properties> properties,
                                  std::shared_ptr<PloverSDK> plover) {
    return PloverViewModifier(std::move(eventName), false, std::move(properties), std::move(plover));
}

}  // namespace plover
