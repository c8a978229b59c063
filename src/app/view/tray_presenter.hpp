#pragma once
// The tray icon and its menu. The menu's actions are made once per entry id and then updated in
// place (title, symbol, enabled state, order), so an open menu is never torn down under the
// pointer; a menu that grows while open is kept on its screen. The open menu answers to the
// entries' key equivalents itself (Control+Q quits).

#include <QIcon>
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
    void show();
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
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::map<std::string, QAction*, std::less<>> actions_;
    std::map<std::string, QMenu*, std::less<>> submenus_;
    std::map<QAction*, std::string> iconKeys_;
    // The enabled entries of the top menu with a key equivalent, from the last refresh.
    std::vector<std::pair<KeyEquivalent, std::string>> keyEquivalents_;
};

// "&" doubled so that Qt does not take it for a mnemonic.
QString menuText(std::string_view title);

// The action's text: the title, and after a tab the shortcut column's text when there is one.
QString actionText(const MenuEntry& entry);

}  // namespace kestro::view
