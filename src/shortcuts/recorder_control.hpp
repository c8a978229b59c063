#pragma once
// What a shortcut recorder does, apart from the toolkit: the idle and recording states, the
// decision about each key press while recording (Tab, Escape, Delete, the modifier rule, clashes
// with the application's menus and with combinations other clients hold, the confirmation), and
// storing the result for its name. A widget implements RecorderSurface and forwards its focus
// changes, mouse releases and key presses (see shortcuts/qt/recorder_qt.hpp).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/notifications/notification_center.hpp"
#include "shortcuts/modifiers.hpp"
#include "shortcuts/name.hpp"
#include "shortcuts/shortcut.hpp"

namespace platform {
class KeyboardLayout;
}

namespace GlobalShortcuts {

class ShortcutLayer;

// One item of the application's menus as the clash check sees it.
struct MenuItem {
    std::string title;
    // The character that triggers it ("" for none); an upper-case letter stands for Shift with the
    // lower-case one.
    std::string keyEquivalent;
    ModifierFlags modifierMask;
    std::vector<MenuItem> submenu;
};

// The first item (each item before its submenu) whose key equivalent and modifiers are the
// candidate's; null when there is none.
const MenuItem* menuItemWithShortcut(const std::vector<MenuItem>& menu, const Shortcut& candidate,
                                     const platform::KeyboardLayout* layout);

struct RecorderAlert {
    std::string messageText;
    std::string informativeText;    // may be empty
    std::vector<std::string> buttons;  // empty: the toolkit's single default button
};

// The widget side of a recorder.
class RecorderSurface {
public:
    virtual ~RecorderSurface() = default;
    virtual std::string shownText() const = 0;
    virtual void setShownText(const std::string& text) = 0;
    virtual void setPlaceholder(const std::string& text) = 0;
    virtual void setClearButtonShown(bool shown) = 0;
    virtual void setCaretVisible(bool visible) = 0;
    // Gives up the keyboard focus; the widget then reports endRecording().
    virtual void blur() = 0;
    // Takes the keyboard focus; the widget then reports startRecording().
    virtual void focus() = 0;
    virtual void beep() = 0;
    // Shows the alert until it is answered; the index of the button chosen (0 for the default).
    virtual int runAlert(const RecorderAlert& alert) = 0;
    // The application's menus, searched for clashes.
    virtual std::vector<MenuItem> applicationMenu() const = 0;
};

class RecorderControl {
public:
    using OnChange = std::function<void(std::optional<Shortcut>)>;
    // What becomes of an event the recorder looked at: handed on as usual, or dropped.
    enum class Fate { pass, swallow };

    // Shows the stored shortcut of `name` and follows its changes. `layer` may be null (nothing
    // is stored then).
    RecorderControl(std::shared_ptr<ShortcutLayer> layer, RecorderSurface& surface, Name name,
                    OnChange onChange = {});
    // A control that goes while recording stops recording first.
    ~RecorderControl();
    RecorderControl(const RecorderControl&) = delete;
    RecorderControl& operator=(const RecorderControl&) = delete;

    const Name& shortcutName() const { return name_; }
    // Another name shows that name's stored shortcut (the same name changes nothing).
    void setShortcutName(Name name);

    // The widget took the focus / lost it (by a click elsewhere, Tab, its window losing the
    // keyboard, being hidden...). Ending when not recording announces the state again.
    void startRecording();
    void endRecording();
    bool isRecording() const { return recording_; }

    // A mouse button released while recording; `nearControl` when within 3 pixels of it.
    Fate handleMouseUp(bool nearControl);
    // A key pressed while recording.
    Fate handleKeyDown(const KeyEvent& event);
    // The field was emptied (its clear button): the stored shortcut goes and recording goes on.
    void clear();

    void showStoredShortcut();

private:
    std::shared_ptr<ShortcutLayer> layer_;
    RecorderSurface& surface_;
    Name name_;
    OnChange onChange_;
    bool recording_ = false;
    platform::ObserverToken nameChanges_;
};

}  // namespace GlobalShortcuts
