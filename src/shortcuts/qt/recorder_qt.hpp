#pragma once
// The shortcut recorder as a line edit: idle it shows the name's stored shortcut (or "Record
// Shortcut"); given the focus it records the next key combination ("Press Shortcut"), checks it
// (see RecorderControl) and stores it for the name. Losing the focus, a click elsewhere, Tab,
// Escape, its window losing the keyboard or being hidden ends recording. While it records the
// layer's hot keys are let go, so that the keys reach this window.
//
//     auto* recorder = new GlobalShortcuts::RecorderQt(startSession, {}, settingsWindow);

#include <QLineEdit>
#include <memory>

#include "shortcuts/recorder_control.hpp"

class QAction;

namespace GlobalShortcuts {

class RecorderQt : public QLineEdit, private RecorderSurface {
public:
    static constexpr int minimumWidth = 130;

    // `layer` empty: the process-wide one.
    explicit RecorderQt(Name name, RecorderControl::OnChange onChange = {}, QWidget* parent = nullptr,
                        std::shared_ptr<ShortcutLayer> layer = {});
    ~RecorderQt() override;

    const Name& shortcutName() const { return control_->shortcutName(); }
    void setShortcutName(Name name) { control_->setShortcutName(std::move(name)); }
    bool isRecording() const { return control_->isRecording(); }
    // The button that clears the shortcut (shown while there is one).
    QAction* clearAction() const { return clearAction_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::string shownText() const override;
    void setShownText(const std::string& text) override;
    void setPlaceholder(const std::string& text) override;
    void setClearButtonShown(bool shown) override;
    void setCaretVisible(bool visible) override;
    void blur() override;
    void focus() override;
    void beep() override;
    int runAlert(const RecorderAlert& alert) override;
    std::vector<MenuItem> applicationMenu() const override;

    bool handleKeyPress(QKeyEvent* event);
    void watchMouse(bool watch);

    std::shared_ptr<ShortcutLayer> layer_;
    QAction* clearAction_ = nullptr;
    bool focusRequested_ = false;
    bool tabbing_ = false;  // a Tab press is being decided
    bool watchingMouse_ = false;
    std::unique_ptr<RecorderControl> control_;
};

}  // namespace GlobalShortcuts
