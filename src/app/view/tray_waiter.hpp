#pragma once
// Waits for a system tray before the tray icon is made: a StatusNotifier host (through the
// session bus's StatusNotifierWatcher) or an XEmbed tray (the X selection "_NET_SYSTEM_TRAY_S<n>").
// While there is none it says so once, then looks again at a fixed interval and shows the icon as
// soon as one appears.

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>

namespace kestro::view {

class TrayWaiter : public QObject {
public:
    struct Hooks {
        // A tray is there now.
        std::function<bool()> trayPresent;
        // Makes and shows the icon; called once.
        std::function<void()> show;
        // Tells the user that there is no tray (called at most once).
        std::function<void(const std::string& summary, const std::string& body)> report;
    };

    explicit TrayWaiter(Hooks hooks, std::chrono::milliseconds interval = std::chrono::milliseconds(500),
                        QObject* parent = nullptr);

    // Shows the icon at once when a tray is there, else reports and starts looking.
    void start();
    bool isWaiting() const { return timer_.isActive(); }

    // The real probes.
    static bool statusNotifierHostPresent();
    static bool xembedTrayPresent();
    static bool anyTrayPresent() { return statusNotifierHostPresent() || xembedTrayPresent(); }
    // Standard error and a desktop notification (org.freedesktop.Notifications, not awaited).
    static void reportEverywhere(const std::string& summary, const std::string& body);

    static constexpr const char* noTraySummary = "Kestro has no system tray";
    static constexpr const char* noTrayBody =
        "Its icon appears as soon as an XEmbed tray or a StatusNotifier host runs "
        "(on GNOME: the AppIndicator extension).";

private:
    void look();

    Hooks hooks_;
    QTimer timer_;
    bool shown_ = false;
};

}  // namespace kestro::view
