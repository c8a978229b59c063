#include "analytics/qt/qt_application_state.hpp"

#include <QGuiApplication>

namespace plover {

QtApplicationStateFeed::QtApplicationStateFeed(std::shared_ptr<BaseApplicationLifecyclePublisher> publisher,
                                               QObject* parent)
    : QObject(parent), publisher_(std::move(publisher)) {
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
            &QtApplicationStateFeed::applicationStateChanged);
    publisher_->appDidFinishLaunching();
    // The application may already be active: its change was signalled before this feed existed.
    applicationStateChanged(QGuiApplication::applicationState());
}

void QtApplicationStateFeed::applicationStateChanged(Qt::ApplicationState state) {
    const bool active = state == Qt::ApplicationActive;
    if (active == active_) return;
    active_ = active;
    if (active) {
        publisher_->appDidBecomeActive();
    } else {
        publisher_->appDidEnterBackground();
    }
}

}  // namespace plover
