#include "app/view/tray_presenter.hpp"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionMenuItem>
#include <QSystemTrayIcon>
#include <QWidgetAction>

#include "app/view/menu_only_item.hpp"
#include "app/view/symbol_icons.hpp"
#include "app/view/themed_icons.hpp"

namespace kestro::view {

QString menuText(std::string_view title) {
    return QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())).replace("&", "&&");
}

QString actionText(const MenuEntry& entry) {
    if (entry.id == menu_ids::error) return QString::fromUtf8(errorLineMark) + menuText(entry.title);
    return menuText(entry.title);
}

QKeySequence actionShortcut(const MenuEntry& entry) {
    return QKeySequence::fromString(QString::fromStdString(entry.shortcutKeys), QKeySequence::PortableText);
}

namespace {

// The text of an entry's shortcut column in the menu Qt draws, kept on its action.
constexpr const char* shortcutColumnProperty = "kestroShortcutColumn";

}  // namespace

QString shortcutColumn(const QAction& action) { return action.property(shortcutColumnProperty).toString(); }

namespace {

// A menu drawn by Qt whose shortcut column shows the symbols of the shortcut layer ("⌃P") where
// Qt would print its own key names ("Ctrl+P"). The action's own shortcut stays what a host that
// draws the exported menu shows in its column.
class ShortcutColumnMenu : public QMenu {
public:
    using QMenu::QMenu;

protected:
    void initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const override {
        QMenu::initStyleOption(option, action);
        const auto column = shortcutColumn(*action);
        if (column.isEmpty()) return;
        auto text = option->text;
        if (auto tab = text.indexOf(QLatin1Char('\t')); tab >= 0) text.truncate(tab);
        option->text = text + QLatin1Char('\t') + column;
    }
};

// The error line: its symbol and its text, both in the entry's colour, never greyed out.
class ColouredLine : public QWidgetAction {
public:
    explicit ColouredLine(QObject* parent) : QWidgetAction(parent) {
        // Qt leaves the widget of a hidden widget action where it was drawn, over whatever row
        // takes its place: the widget follows the action.
        connect(this, &QAction::visibleChanged, this, [this] {
            for (auto* widget : createdWidgets()) widget->setVisible(isVisible());
        });
    }

    void show(const MenuEntry& entry) {
        entry_ = entry;
        setText(actionText(entry));
        paint();
    }

protected:
    // Made each time the line is put into the menu (the menu deletes it when the line goes).
    QWidget* createWidget(QWidget* parent) override {
        line_ = new QWidget(parent);
        auto* layout = new QHBoxLayout(line_);
        layout->setContentsMargins(8, 4, 12, 4);
        icon_ = new QLabel(line_);
        text_ = new QLabel(line_);
        text_->setObjectName(QStringLiteral("text"));
        text_->setTextFormat(Qt::PlainText);
        layout->addWidget(icon_);
        layout->addWidget(text_, 1);
        if (!isVisible()) line_->hide();
        paint();
        return line_;
    }

private:
    void paint() {
        if (!line_ || !icon_ || !text_) return;
        auto colour = menuColour(entry_.colour);
        auto extent = line_->style()->pixelMetric(QStyle::PM_SmallIconSize);
        icon_->setPixmap(menuIcon(entry_).pixmap(extent, extent));
        text_->setText(QString::fromStdString(entry_.title));
        QPalette palette = text_->palette();
        palette.setColor(QPalette::WindowText, colour);
        text_->setPalette(palette);
    }

    MenuEntry entry_;
    QPointer<QWidget> line_;
    QPointer<QLabel> icon_;
    QPointer<QLabel> text_;
};

}  // namespace

TrayPresenter::TrayPresenter(Callbacks callbacks, QObject* parent)
    : QObject(parent), callbacks_(std::move(callbacks)), menu_(std::make_unique<ShortcutColumnMenu>()) {
    menu_->setTitle(QStringLiteral("Kestro"));
    menu_->setToolTipsVisible(true);
    connect(menu_.get(), &QMenu::aboutToShow, this, [this] {
        if (callbacks_.appear) callbacks_.appear();
        refresh();
    });
    menu_->installEventFilter(this);
    refresh();
}

TrayPresenter::~TrayPresenter() {
    // The tray icon refers to the menu: let it go first.
    tray_.reset();
}

void TrayPresenter::show() {
    if (!tray_) {
        tray_ = std::make_unique<QSystemTrayIcon>(applicationIcon());
        tray_->setToolTip(QStringLiteral("Kestro"));
        tray_->setContextMenu(menu_.get());
        // A plain click opens the same menu (a context menu is otherwise only on right click),
        // where the app can place it at the pointer.
        connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger && !menuOnly_ && !menu_->isVisible()) menu_->popup(QCursor::pos());
        });
    } else if (tray_->isVisible()) {
        // A tray that has just appeared (a panel that restarted) knows nothing of the icon:
        // hiding lets go of the old registration, showing makes a new one with the new tray.
        tray_->hide();
    }
    tray_->show();
    // Where no StatusNotifier host serves the icon (an XEmbed tray draws it) there is no item,
    // and the tray opens the menu on a right click.
    if (menuOnly_) MenuOnlyItem::takeOver();
}

void TrayPresenter::refresh() {
    if (!callbacks_.menu) return;
    auto entries = callbacks_.menu();
    keyEquivalents_.clear();
    for (const auto& entry : entries) {
        if (entry.keyEquivalent && entry.enabled && entry.kind == MenuEntryKind::button)
            keyEquivalents_.emplace_back(*entry.keyEquivalent, entry.id);
    }
    apply(menu_.get(), entries);
    if (menu_->isVisible()) keepOnScreen();
}

void TrayPresenter::keepOnScreen() {
    // The menu has grown or shrunk under the pointer: take the new size, then move it back inside
    // the screen it opened on where it now runs past an edge.
    menu_->resize(menu_->sizeHint());
    auto* screen = menu_->screen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const QRect frame = menu_->geometry();
    int x = std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width()));
    int y = std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height()));
    if (QPoint(x, y) != frame.topLeft()) menu_->move(x, y);
}

bool TrayPresenter::eventFilter(QObject* watched, QEvent* event) {
    if (watched != menu_.get() || event->type() != QEvent::KeyPress) return false;
    const auto& press = *static_cast<QKeyEvent*>(event);
    const auto modifiers = press.modifiers() & ~Qt::KeypadModifier;
    for (const auto& [equivalent, id] : keyEquivalents_) {
        // Both the control and the command equivalents are Control on this desktop.
        auto key = static_cast<int>(Qt::Key_A) + (equivalent.key - 'a');
        if (press.key() != key || modifiers != Qt::ControlModifier) continue;
        // Chosen like a click: the menu closes first.
        menu_->hide();
        if (callbacks_.trigger) callbacks_.trigger(id);
        return true;
    }
    return false;
}

QAction* TrayPresenter::action(const std::string& id) const {
    auto found = actions_.find(id);
    return found == actions_.end() ? nullptr : found->second;
}

QAction* TrayPresenter::actionFor(QMenu* owner, const MenuEntry& entry) {
    if (auto found = actions_.find(entry.id); found != actions_.end()) return found->second;
    QAction* action = nullptr;
    if (entry.id == menu_ids::error) {
        action = new ColouredLine(owner);
    } else if (entry.kind == MenuEntryKind::submenu) {
        auto* submenu = new ShortcutColumnMenu(owner);
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
    // Each change of an action is a change of the exported menu (a tray host is told to read it
    // anew): only what differs is set.
    if (entry.kind == MenuEntryKind::divider) {
        if (!action->isVisible()) action->setVisible(true);
        return;
    }
    if (action->isEnabled() != entry.enabled) action->setEnabled(entry.enabled);
    // A row with nothing to say is left out, also from the menu a tray host draws.
    const bool visible = !entry.title.empty();
    if (action->isVisible() != visible) action->setVisible(visible);

    auto setIcon = [&] {
        // The same picture is the same icon: an unchanged row keeps it.
        auto icon = menuIcon(entry);
        if (action->icon().cacheKey() != icon.cacheKey()) action->setIcon(icon);
    };
    if (auto* line = dynamic_cast<ColouredLine*>(action)) {
        line->show(entry);
        setIcon();
        return;
    }
    auto text = actionText(entry);
    if (action->text() != text) action->setText(text);
    // Qt's own shortcut on an action of a tray menu never fires (Qt matches it only in a window's
    // menu bar); it is what the exported menu shows in the shortcut column.
    auto shortcut = actionShortcut(entry);
    if (action->shortcut() != shortcut) action->setShortcut(shortcut);
    auto column = QString::fromStdString(entry.shortcutText);
    if (action->property(shortcutColumnProperty).toString() != column) {
        action->setProperty(shortcutColumnProperty, column);
        // The property is not a change Qt knows of: have the open menu measure its rows again.
        if (auto* menu = qobject_cast<QMenu*>(action->parent()); menu && menu->isVisible()) menu->update();
    }
    setIcon();
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
    // An entry that goes is hidden, not taken out: it keeps its place and its exported id for when
    // it comes back (a host holding the menu open keeps pointing at the same rows).
    for (auto* present : target->actions()) {
        if (std::find(wanted.begin(), wanted.end(), present) == wanted.end() && present->isVisible())
            present->setVisible(false);
    }
    // Bring the wanted entries into their order among the hidden ones, moving only what is out of
    // place (a moved action gets a new exported id). An entry new to the menu goes where it stands
    // among every entry the menu can show, so that no later state has to move it.
    auto current = target->actions();
    qsizetype next = 0;
    for (auto* action : wanted) {
        auto at = current.indexOf(action);
        if (at >= next) {
            next = at + 1;
            continue;
        }
        if (at >= 0) {
            target->removeAction(action);
            current.removeAt(at);
            --next;
        }
        auto place = next;
        if (const int rank = entryRank(action->objectName().toStdString()); rank >= 0) {
            while (place < current.size() && entryRank(current[place]->objectName().toStdString()) < rank) ++place;
        }
        QAction* before = place < current.size() ? current[place] : nullptr;
        target->insertAction(before, action);
        current.insert(place, action);
        next = place + 1;
    }
}

}  // namespace kestro::view
