#pragma once
// Screen and custom events sent when a view appears. A view builds its modifier once with
// `ploverScreenView` or `ploverViewSeen` and calls `onAppear()` each time it comes on screen
// (from its show handler, say); the modifier keeps no state between appearances.
//
//   class ContentView : public QWidget {
//       plover::PloverViewModifier seen_ = plover::ploverScreenView(*this);
//       void showEvent(QShowEvent*) override { seen_.onAppear(); }
//   };

#include <memory>
#include <optional>
#include <string>
#include <typeinfo>

#include "analytics/util/value.hpp"

namespace plover {

class PloverSDK;

class PloverViewModifier {
public:
    PloverViewModifier(std::string viewEventName, bool screenEvent, std::optional<Properties> properties,
                       std::shared_ptr<PloverSDK> plover)
        : viewEventName_(std::move(viewEventName)),
          screenEvent_(screenEvent),
          properties_(std::move(properties)),
          plover_(std::move(plover)) {}

    // Sends a screen event (`screenEvent`) or a custom event named `viewEventName` through the
    // given instance, or through PloverSDK::shared() when none was given.
    void onAppear() const;

    const std::string& viewEventName() const { return viewEventName_; }
    bool screenEvent() const { return screenEvent_; }
    const std::optional<Properties>& properties() const { return properties_; }

private:
    std::string viewEventName_;
    bool screenEvent_;
    std::optional<Properties> properties_;
    std::shared_ptr<PloverSDK> plover_;
};

// The type's name without its namespaces or enclosing classes: "ContentView" for app::ContentView.
std::string unqualifiedTypeName(const std::type_info& type);

// A screen event; without a screen name the view's own (dynamic) type names the screen.
template <class View>
PloverViewModifier ploverScreenView(const View& view, std::optional<std::string> screenName = std::nullopt,
                                    std::optional<Properties> properties = std::nullopt,
                                    std::shared_ptr<PloverSDK> plover = nullptr) {
    std::string name = screenName ? std::move(*screenName) : unqualifiedTypeName(typeid(view));
    return PloverViewModifier(std::move(name), true, std::move(properties), std::move(plover));
}

// A custom event with the given name.
PloverViewModifier ploverViewSeen(std::string eventName, std::optional<Properties> properties = std::nullopt,
                                  std::shared_ptr<PloverSDK> plover = nullptr);

}  // namespace plover
