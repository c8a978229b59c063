#pragma once
// The tray icon and its menu. The menu's actions are made once per entry id and then updated in
// place (title, symbol, enabled state, order), so an open menu is never torn down under the
// pointer.

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

    // Shows the tray icon (when the desktop has a tray).
    void show();
    // Reads the menu again and brings the actions up to date.
    void refresh();

    QMenu* menu() const { return menu_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }
    // The action of an entry id, or null when it never existed.
    QAction* action(const std::string& id) const;

private:
    void apply(QMenu* target, const std::vector<MenuEntry>& entries);
    QAction* actionFor(QMenu* owner, const MenuEntry& entry);
    void update(QAction* action, const MenuEntry& entry);

    Callbacks callbacks_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::map<std::string, QAction*, std::less<>> actions_;
    std::map<std::string, QMenu*, std::less<>> submenus_;
    std::map<QAction*, std::string> iconKeys_;
};

// "&" doubled so that Qt does not take it for a mnemonic.
QString menuText(std::string_view title);

}  // namespace kestro::view
