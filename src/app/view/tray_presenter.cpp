#include "app/view/tray_presenter.hpp"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMenu>
#include <QSystemTrayIcon>

#include "app/view/symbol_icons.hpp"

namespace kestro::view {

QString menuText(std::string_view title) {
    return QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())).replace("&", "&&");
}

TrayPresenter::TrayPresenter(Callbacks callbacks, QObject* parent)
    : QObject(parent), callbacks_(std::move(callbacks)), menu_(std::make_unique<QMenu>()) {
    menu_->setTitle(QStringLiteral("Kestro"));
    menu_->setToolTipsVisible(true);
    connect(menu_.get(), &QMenu::aboutToShow, this, [this] {
        if (callbacks_.appear) callbacks_.appear();
        refresh();
    });
    tray_ = std::make_unique<QSystemTrayIcon>(applicationIcon());
    tray_->setToolTip(QStringLiteral("Kestro"));
    tray_->setContextMenu(menu_.get());
    // A plain click opens the same menu (a context menu is otherwise only on right click).
    connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !menu_->isVisible()) menu_->popup(QCursor::pos());
    });
    refresh();
}

TrayPresenter::~TrayPresenter() {
    // The tray icon refers to the menu: let it go first.
    tray_.reset();
}

void TrayPresenter::show() { tray_->show(); }

void TrayPresenter::refresh() {
    if (callbacks_.menu) apply(menu_.get(), callbacks_.menu());
}

QAction* TrayPresenter::action(const std::string& id) const {
    auto found = actions_.find(id);
    return found == actions_.end() ? nullptr : found->second;
}

QAction* TrayPresenter::actionFor(QMenu* owner, const MenuEntry& entry) {
    if (auto found = actions_.find(entry.id); found != actions_.end()) return found->second;
    QAction* action = nullptr;
    if (entry.kind == MenuEntryKind::submenu) {
        auto* submenu = new QMenu(owner);
        submenus_[entry.id] = submenu;
        action = submenu->menuAction();
    } else {
        action = new QAction(owner);
        action->setSeparator(entry.kind == MenuEntryKind::divider);
        action->setShortcutVisibleInContextMenu(true);
        if (entry.kind == MenuEntryKind::button) {
            connect(action, &QAction::triggered, this, [this, id = entry.id] {
                if (callbacks_.trigger) callbacks_.trigger(id);
            });
        }
    }
    action->setObjectName(QString::fromStdString(entry.id));
    actions_[entry.id] = action;
    return action;
}

void TrayPresenter::update(QAction* action, const MenuEntry& entry) {
    if (entry.kind == MenuEntryKind::divider) return;
    auto text = menuText(entry.title);
    if (action->text() != text) action->setText(text);
    if (action->isEnabled() != entry.enabled) action->setEnabled(entry.enabled);

    QKeySequence shortcut;
    if (entry.keyEquivalent) {
        // Both the control and the command equivalents are Control on this desktop.
        auto key = static_cast<Qt::Key>(Qt::Key_A + (entry.keyEquivalent->key - 'a'));
        shortcut = QKeySequence(Qt::CTRL | key);
    }
    if (action->shortcut() != shortcut) action->setShortcut(shortcut);

    auto iconKey = entry.symbol + "|" + std::to_string(static_cast<int>(entry.colour)) + "|" +
                   std::to_string(entry.opacity);
    if (iconKeys_[action] != iconKey) {
        iconKeys_[action] = iconKey;
        action->setIcon(symbolIcon(entry.symbol, menuColour(entry.colour), entry.opacity));
    }
}

void TrayPresenter::apply(QMenu* target, const std::vector<MenuEntry>& entries) {
    std::vector<QAction*> wanted;
    wanted.reserve(entries.size());
    for (const auto& entry : entries) {
        auto* action = actionFor(target, entry);
        update(action, entry);
        if (entry.kind == MenuEntryKind::submenu) apply(submenus_[entry.id], entry.children);
        wanted.push_back(action);
    }
    // Bring the menu's list to the wanted order, moving only what is out of place.
    for (auto* present : target->actions()) {
        if (std::find(wanted.begin(), wanted.end(), present) == wanted.end()) target->removeAction(present);
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        auto current = target->actions();
        if (i < static_cast<std::size_t>(current.size()) && current[static_cast<qsizetype>(i)] == wanted[i]) continue;
        QAction* before = i < static_cast<std::size_t>(current.size()) ? current[static_cast<qsizetype>(i)] : nullptr;
        target->insertAction(before, wanted[i]);
    }
}

}  // namespace kestro::view
