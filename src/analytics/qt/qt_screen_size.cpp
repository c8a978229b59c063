#include "analytics/qt/qt_screen_size.hpp"

#include <QGuiApplication>

namespace plover {

std::optional<ScreenSize> screenSizeOf(const QScreen* screen) {
    if (!screen) return std::nullopt;
    const QSize size = screen->size();
    return ScreenSize{static_cast<double>(size.width()), static_cast<double>(size.height())};
}

QtScreenSizeFeed::QtScreenSizeFeed(std::weak_ptr<PloverContext> context, QObject* parent)
    : QObject(parent), context_(std::move(context)) {
    connect(qGuiApp, &QGuiApplication::primaryScreenChanged, this, [this](QScreen* screen) {
        follow(screen);
        update();
    });
    follow(QGuiApplication::primaryScreen());
    update();
}

void QtScreenSizeFeed::follow(QScreen* screen) {
    if (followed_ == screen) return;
    if (followed_) disconnect(followed_, nullptr, this, nullptr);
    followed_ = screen;
    if (!screen) return;
    connect(screen, &QScreen::geometryChanged, this, [this] { update(); });
    // The last screen goes without a change of primary screen; by now it has left the list.
    connect(screen, &QObject::destroyed, this, [this] {
        follow(QGuiApplication::primaryScreen());
        update();
    });
}

void QtScreenSizeFeed::update() {
    if (auto context = context_.lock()) context->setScreenSize(screenSizeOf(QGuiApplication::primaryScreen()));
}

}  // namespace plover
