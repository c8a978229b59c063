#pragma once
// Waits for a system tray before the tray icon is made: a StatusNotifier host (through the
// session bus's StatusNotifierWatcher) or an XEmbed tray (the X selection "_NET_SYSTEM_TRAY_S<n>").
// While there is none it says so once; it looks again only when told that a tray may have
// appeared (see TraySignals) and then shows the icon. For the whole run, a tray that appears anew
// (a panel restarted after a crash) has the icon shown again, which registers it with that tray.

#include <QObject>
#include <functional>
#include <string>

namespace kestro::view {

class TrayWaiter : public QObject {
public:
    struct Hooks {
        // A tray is there now.
        std::function<bool()> trayPresent;
        // Makes and shows the icon the first time; afterwards shows it again in the tray that
        // has just appeared.
        std::function<void()> show;
        // Tells the user that there is no tray (called at most once).
        std::function<void(const std::string& summary, const std::string& body)> report;
    };

    explicit TrayWaiter(Hooks hooks, QObject* parent = nullptr);

    // Shows the icon at once when a tray is there, else reports and waits.
    void start();
    // A sign that a tray may have appeared: shows the icon (again) when there is one now.
    void traySignalled();
    // Started, and no icon shown yet.
    bool isWaiting() const { return started_ && !shown_; }

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
    Hooks hooks_;
    bool started_ = false;
    bool shown_ = false;
};

}  // namespace kestro::view
