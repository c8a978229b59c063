#pragma once
// The signs that a system tray has appeared, as they come (nothing is probed at an interval):
// the StatusNotifierWatcher's name taking an owner on the session bus, a StatusNotifier host
// registering with the watcher, and an XEmbed tray taking the "_NET_SYSTEM_TRAY_S<n>" selection
// (the MANAGER message it sends to the root window). Each sign calls `appeared`; whether a tray
// is really there is for the caller to ask. Lives on the Qt main thread.

#include <QObject>
#include <functional>
#include <memory>

class QDBusServiceWatcher;
class QSocketNotifier;

namespace kestro::view {

class TraySignals : public QObject {
    Q_OBJECT
public:
    explicit TraySignals(std::function<void()> appeared, QObject* parent = nullptr);
    ~TraySignals() override;

private slots:
    void hostRegistered();

private:
    void readX();

    std::function<void()> appeared_;
    QDBusServiceWatcher* busWatcher_ = nullptr;
    struct X;
    std::unique_ptr<X> x_;
    QSocketNotifier* xNotifier_ = nullptr;
};

}  // namespace kestro::view
