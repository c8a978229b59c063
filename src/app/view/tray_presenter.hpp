#pragma once
// The tray icon and its menu. The menu's actions are made once per entry id and then updated in
// place (title, symbol, enabled state, order), so an open menu is never torn down under the
// pointer; an entry that goes is hidden in its place rather than taken out. Qt tells a tray host
// that draws the exported menu of every action changed, added or removed, and gives an action put
// into the menu a new exported id: only what differs is set, so an update that changes nothing
// tells the host nothing and entries keep their ids. A menu that grows while open is kept on its
// screen. The open menu answers to the entries' key equivalents itself (Control+Q quits).

#include <QIcon>
#include <QKeySequence>
#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/menu_model.hpp"

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace kestro::view {

class TrayPresenter : public QObject {
public:
    struct Callbacks {
        // The menu as it stands now.
        std::function<std::vector<MenuEntry>()> menu;
        // The action of the entry with that id.
        std::function<void(const std::string& id)> trigger;
        // Each time the menu is about to appear.
        std::function<void()> appear;
    };

    explicit TrayPresenter(Callbacks callbacks, QObject* parent = nullptr);
    ~TrayPresenter() override;

    // Makes and shows the tray icon. Qt decides once, when the icon is made, whether a
    // StatusNotifier host serves it, so this waits until a tray is there (see TrayWaiter).
    // Called again once the icon is shown, it registers the icon anew with the tray now there.
    void show();
    // In a Wayland session, where the app cannot place a menu at the icon: the icon is exported
    // to StatusNotifier hosts as menu-only, so that the host opens its menu on a left click too,
    // and a left click the app hears of opens nothing of the app's own. Set before show().
    void setMenuOnly(bool menuOnly) { menuOnly_ = menuOnly; }
    // Reads the menu again and brings the actions up to date.
    void refresh();

    QMenu* menu() const { return menu_.get(); }
    // Null until show().
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }
    // The action of an entry id, or null when it never existed.
    QAction* action(const std::string& id) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void keepOnScreen();
    void apply(QMenu* target, const std::vector<MenuEntry>& entries);
    QAction* actionFor(QMenu* owner, const MenuEntry& entry);
    void update(QAction* action, const MenuEntry& entry);

    Callbacks callbacks_;
    bool menuOnly_ = false;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::map<std::string, QAction*, std::less<>> actions_;
    std::map<std::string, QMenu*, std::less<>> submenus_;
    // The enabled entries of the top menu with a key equivalent, from the last refresh.
    std::vector<std::pair<KeyEquivalent, std::string>> keyEquivalents_;
};

// "&" doubled so that Qt does not take it for a mnemonic.
QString menuText(std::string_view title);

// What stands before the error line's text where a tray host draws the menu: the line's colour
// and symbol do not reach it.
inline constexpr const char* errorLineMark = "⚠ ";

// The action's text: the title ("&" doubled); the error line's after the warning mark. The
// shortcut column is not part of it: the menu Qt draws takes it from the action's
// "kestroShortcutColumn" property, a host that draws the exported menu from the action's shortcut.
QString actionText(const MenuEntry& entry);
// The action's shortcut: the entry's shortcut keys.
QKeySequence actionShortcut(const MenuEntry& entry);
// What the menu Qt draws shows in the action's shortcut column ("⌃P"; empty for none).
QString shortcutColumn(const QAction& action);

}  // namespace kestro::view
