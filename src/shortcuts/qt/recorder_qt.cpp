#include "shortcuts/qt/recorder_qt.hpp"

#include <QAction>
#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QStyleOptionFrame>
#include <QPushButton>
#include <QStyle>
#include <QTimer>

#include "platform/hotkeys/hot_key_backend.hpp"
#include "shortcuts/qt/qt_keys.hpp"
#include "shortcuts/shortcut_layer.hpp"

namespace GlobalShortcuts {
namespace {

// Keys that only modify others: pressing one alone is not a shortcut yet.
bool isModifierKey(int key) {
    switch (key) {
        case Qt::Key_Shift:
        case Qt::Key_Control:
        case Qt::Key_Alt:
        case Qt::Key_AltGr:
        case Qt::Key_Meta:
        case Qt::Key_Super_L:
        case Qt::Key_Super_R:
        case Qt::Key_Hyper_L:
        case Qt::Key_Hyper_R:
        case Qt::Key_CapsLock:
        case Qt::Key_NumLock:
        case Qt::Key_ScrollLock:
            return true;
        default:
            return false;
    }
}

}  // namespace

RecorderQt::RecorderQt(Name name, RecorderControl::OnChange onChange, QWidget* parent,
                       std::shared_ptr<ShortcutLayer> layer)
    : QLineEdit(parent), layer_(layer ? std::move(layer) : ShortcutLayer::shared()) {
    // Nothing is typed here: every key press is a candidate shortcut. Read-only also hides the caret.
    setReadOnly(true);
    setAlignment(Qt::AlignCenter);
    setFocusPolicy(Qt::StrongFocus);
    setContextMenuPolicy(Qt::NoContextMenu);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    clearAction_ = addAction(style()->standardIcon(QStyle::SP_LineEditClearButton), QLineEdit::TrailingPosition);
    clearAction_->setVisible(false);
    connect(clearAction_, &QAction::triggered, this, [this] { control_->clear(); });
    RecorderSurface& surface = *this;
    control_ = std::make_unique<RecorderControl>(layer_, surface, std::move(name), std::move(onChange));
}

RecorderQt::~RecorderQt() {
    watchMouse(false);
    control_.reset();
}

QSize RecorderQt::sizeHint() const {
    QSize size = QLineEdit::sizeHint();
    return {std::max(size.width(), minimumWidth), size.height()};
}

QSize RecorderQt::minimumSizeHint() const {
    QSize size = QLineEdit::minimumSizeHint();
    return {std::max(size.width(), minimumWidth), size.height()};
}

bool RecorderQt::event(QEvent* event) {
    if (control_ && control_->isRecording()) {
        // The window's own shortcuts do not take the keys from the recorder.
        if (event->type() == QEvent::ShortcutOverride) {
            event->accept();
            return true;
        }
        if (event->type() == QEvent::KeyPress && !handleKeyPress(static_cast<QKeyEvent*>(event))) return true;
    }
    return QLineEdit::event(event);
}

// True when the press goes on to the line edit as usual.
bool RecorderQt::handleKeyPress(QKeyEvent* event) {
    if (event->isAutoRepeat() || isModifierKey(event->key())) return false;
    const bool plainTab =
        event->key() == Qt::Key_Tab &&
        !(event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    tabbing_ = plainTab;
    platform::HotKeyBackend* backend = layer_ ? layer_->hotKeyBackend() : nullptr;
    auto key = backend ? keyEvent(*event, *backend) : std::nullopt;
    if (!key) {
        beep();
        return false;
    }
    QPointer<RecorderQt> alive(this);
    auto fate = control_->handleKeyDown(*key);
    // An alert's event loop may have seen the window close.
    if (!alive) return false;
    tabbing_ = false;
    // A Tab has moved the focus on already.
    return fate == RecorderControl::Fate::pass && !plainTab;
}

// A click into a window that is not active yet gets the focus only once the window is: it asks to
// record all the same.
void RecorderQt::mousePressEvent(QMouseEvent* event) {
    if (!hasFocus()) focusRequested_ = true;
    QLineEdit::mousePressEvent(event);
}

void RecorderQt::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    bool requested = std::exchange(focusRequested_, false);
    // The window coming back to the front (or a popup closing) hands the focus back: that is no
    // request to record. Only a click, Tab or the recorder itself starts it.
    if (!requested && (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason)) {
        QTimer::singleShot(0, this, [this] {
            if (hasFocus() && !control_->isRecording()) clearFocus();
        });
        return;
    }
    control_->startRecording();
    watchMouse(true);
}

void RecorderQt::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    watchMouse(false);
    control_->endRecording();
}

void RecorderQt::hideEvent(QHideEvent* event) {
    QLineEdit::hideEvent(event);
    if (control_->isRecording()) {
        watchMouse(false);
        control_->endRecording();
    }
}

// A centred line edit hides its placeholder while it has the focus, which is exactly when the
// recorder asks for a shortcut.
void RecorderQt::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    if (!hasFocus() || !QLineEdit::text().isEmpty() || placeholderText().isEmpty()) return;
    QStyleOptionFrame option;
    initStyleOption(&option);
    QRect area = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::PlaceholderText));
    painter.drawText(area, Qt::AlignCenter, fontMetrics().elidedText(placeholderText(), Qt::ElideRight, area.width()));
}

void RecorderQt::watchMouse(bool watch) {
    if (watch == watchingMouse_) return;
    watchingMouse_ = watch;
    if (watch) {
        qApp->installEventFilter(this);
    } else {
        qApp->removeEventFilter(this);
    }
}

bool RecorderQt::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseButtonRelease || !control_->isRecording()) return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton && mouse->button() != Qt::RightButton) return false;
    // The recorder's own parts (its clear button) take their clicks as usual.
    for (QObject* object = watched; object; object = object->parent()) {
        if (object == this) return false;
    }
    QPoint at = mapFromGlobal(mouse->globalPosition().toPoint());
    bool near = rect().adjusted(-3, -3, 3, 3).contains(at);
    return control_->handleMouseUp(near) == RecorderControl::Fate::swallow;
}

std::string RecorderQt::shownText() const { return QLineEdit::text().toStdString(); }

void RecorderQt::setShownText(const std::string& text) { QLineEdit::setText(QString::fromStdString(text)); }

void RecorderQt::setPlaceholder(const std::string& text) { setPlaceholderText(QString::fromStdString(text)); }

void RecorderQt::setClearButtonShown(bool shown) { clearAction_->setVisible(shown); }

// The line edit is read-only and shows no caret at all.
void RecorderQt::setCaretVisible(bool) {}

void RecorderQt::blur() {
    focusRequested_ = false;
    // Tab leaves for the next widget of the window (clearing the focus first would start the
    // search from the window and could come back here).
    if (std::exchange(tabbing_, false)) focusNextPrevChild(true);
    if (hasFocus()) clearFocus();
}

void RecorderQt::focus() {
    focusRequested_ = true;
    setFocus(Qt::OtherFocusReason);
    if (hasFocus()) focusRequested_ = false;
}

void RecorderQt::beep() { QApplication::beep(); }

int RecorderQt::runAlert(const RecorderAlert& alert) {
    QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(),
                    QString::fromStdString(alert.messageText), QMessageBox::NoButton, window());
    if (!alert.informativeText.empty()) box.setInformativeText(QString::fromStdString(alert.informativeText));
    std::vector<QPushButton*> buttons;
    for (const auto& title : alert.buttons) {
        buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
    }
    if (buttons.empty()) box.addButton(QMessageBox::Ok);
    box.exec();
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (box.clickedButton() == buttons[i]) return static_cast<int>(i);
    }
    return 0;
}

std::vector<MenuItem> RecorderQt::applicationMenu() const { return applicationMenus(); }

}  // namespace GlobalShortcuts
