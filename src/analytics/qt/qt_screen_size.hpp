#pragma once
// Keeps a context's screen size at the size of the application's primary screen: measured when
// the feed is made, again whenever another screen becomes the primary one or the primary screen's
// geometry changes, and absent while there is no screen. Lives on the GUI thread.
//
//     plover::QtScreenSizeFeed screenFeed(context, &application);

#include <QObject>
#include <QPointer>
#include <QScreen>

#include <memory>
#include <optional>

#include "analytics/context/plover_context.hpp"

namespace plover {

// The size of `screen` in device-independent pixels; nothing without a screen.
std::optional<ScreenSize> screenSizeOf(const QScreen* screen);

class QtScreenSizeFeed : public QObject {
public:
    explicit QtScreenSizeFeed(std::weak_ptr<PloverContext> context, QObject* parent = nullptr);

    // Measures the primary screen now and stores the result in the context.
    void update();

private:
    void follow(QScreen* screen);

    std::weak_ptr<PloverContext> context_;
    QPointer<QScreen> followed_;
};

}  // namespace plover
