#pragma once
// Reports the application's state to a lifecycle publisher: launched once when the feed is made,
// active when the application becomes the active one, in the background when it stops being
// active (inactive, hidden or suspended). Only a change between active and background is
// reported; the application counts as in the background until it first becomes active. Lives on
// the GUI thread.
//
//     plover::QtApplicationStateFeed stateFeed(plover::ApplicationLifecyclePublisher::shared(), &application);

#include <QObject>

#include <memory>
#include <optional>

#include "analytics/lifecycle/application_lifecycle_publisher.hpp"

namespace plover {

class QtApplicationStateFeed : public QObject {
public:
    explicit QtApplicationStateFeed(std::shared_ptr<BaseApplicationLifecyclePublisher> publisher,
                                    QObject* parent = nullptr);

    // What QGuiApplication::applicationStateChanged delivers.
    void applicationStateChanged(Qt::ApplicationState state);

private:
    std::shared_ptr<BaseApplicationLifecyclePublisher> publisher_;
    bool active_ = false;
};

}  // namespace plover
