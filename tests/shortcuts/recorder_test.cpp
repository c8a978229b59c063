#include "shortcuts/recorder_control.hpp"

#include <deque>

#include "layer_fixture.hpp"

namespace {

using namespace GlobalShortcuts;
using shortcuts_test::controlM;
using shortcuts_test::controlP;
using Fate = RecorderControl::Fate;

// A widget without a toolkit: focus changes reach the control at once, alerts are answered from
// a queue.
class FakeSurface : public RecorderSurface {
public:
    RecorderControl* control = nullptr;
    std::string field;
    std::string placeholder;
    bool clearButton = false;
    bool caret = true;
    bool focused = false;
    int beeps = 0;
    std::vector<RecorderAlert> alerts;
    std::deque<int> answers;
    std::vector<MenuItem> menu;

    std::string shownText() const override { return field; }
    void setShownText(const std::string& text) override { field = text; }
    void setPlaceholder(const std::string& text) override { placeholder = text; }
    void setClearButtonShown(bool shown) override { clearButton = shown; }
    void setCaretVisible(bool visible) override { caret = visible; }
    void blur() override {
        if (!focused) return;
        focused = false;
        control->endRecording();
    }
    void focus() override {
        if (focused) return;
        focused = true;
        control->startRecording();
    }
    void beep() override { ++beeps; }
    int runAlert(const RecorderAlert& alert) override {
        alerts.push_back(alert);
        if (answers.empty()) return 0;
        int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::vector<MenuItem> applicationMenu() const override { return menu; }
};

class Recorder : public shortcuts_test::LayerTest {
protected:
    Recorder() { surface.control = &control; }

    std::vector<std::optional<Shortcut>> changes;
    FakeSurface surface;
    Name name = layer->name("custom");
    RecorderControl control{layer, surface, name, [this](std::optional<Shortcut> s) { changes.push_back(s); }};

    static KeyEvent down(std::int64_t keyCode, ModifierFlags flags = {}) {
        return {KeyEvent::Type::keyDown, keyCode, flags};
    }
    void record() {
        surface.focus();
        ASSERT_TRUE(control.isRecording());
    }
};

TEST_F(Recorder, EachKeyPressIsDecidedByTheRulesInTheirOrder) {
    const auto shift = Modifier::shift;
    const auto control_ = Modifier::control;
    struct Case {
        const char* what;
        KeyEvent event;
        Fate fate;
        std::optional<Shortcut> stored;  // none: nothing stored
        bool beeps;
        bool stillRecording;
    };
    const std::vector<Case> cases{
        {"Shift+A", down(0, {shift}), Fate::swallow, {}, true, true},
        {"plain A", down(0), Fate::swallow, {}, true, true},
        {"plain F5", down(96), Fate::swallow, Shortcut(96, 0), false, false},
        {"Shift+F5", down(96, {shift}), Fate::swallow, Shortcut(96, CarbonModifier::shift), false, false},
        {"Fn+F5 (the function flag is left out)", down(96, {Modifier::function}), Fate::swallow, Shortcut(96, 0),
         false, false},
        {"Escape with Caps Lock", down(53, {Modifier::capsLock}), Fate::swallow, {}, false, false},
        {"Escape with Shift", down(53, {shift}), Fate::swallow, {}, true, true},
        {"Tab", down(48), Fate::pass, {}, false, false},
        {"Control+Tab", down(48, {control_}), Fate::swallow, Shortcut(48, CarbonModifier::control), false, false},
        {"Control+Shift+K", down(40, {control_, shift}), Fate::swallow,
         Shortcut(40, CarbonModifier::control | CarbonModifier::shift), false, false},
        {"Delete with nothing shown", down(51), Fate::swallow, {}, false, true},
        {"a key-up", {KeyEvent::Type::keyUp, 35, {control_}}, Fate::swallow, {}, false, true},
        // The numeric-pad flag is no modifier: a keypad key needs a real one like any other.
        {"keypad Enter", down(76, {Modifier::numericPad}), Fate::swallow, {}, true, true},
        {"keypad 1 with Caps Lock", down(83, {Modifier::numericPad, Modifier::capsLock}), Fate::swallow, {}, true,
         true},
        {"Shift+keypad 1", down(83, {shift, Modifier::numericPad}), Fate::swallow, {}, true, true},
        {"Control+keypad 1", down(83, {control_, Modifier::numericPad}), Fate::swallow,
         Shortcut(83, CarbonModifier::control), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        layer->setShortcut(std::nullopt, name);
        surface.field.clear();
        changes.clear();
        int beeps = surface.beeps;
        record();
        EXPECT_EQ(control.handleKeyDown(c.event), c.fate);
        EXPECT_EQ(layer->getShortcut(name), c.stored);
        EXPECT_EQ(surface.beeps - beeps, c.beeps ? 1 : 0);
        EXPECT_EQ(control.isRecording(), c.stillRecording);
        EXPECT_EQ(layer->isRecorderActive(), c.stillRecording);
        if (c.stored) {
            EXPECT_EQ(changes, std::vector<std::optional<Shortcut>>{c.stored});
            EXPECT_EQ(surface.field, layer->description(*c.stored));
            EXPECT_TRUE(surface.clearButton);
        } else {
            EXPECT_TRUE(changes.empty());
        }
        surface.blur();
    }
    EXPECT_TRUE(surface.alerts.empty());
}

TEST_F(Recorder, IdleAndRecordingShowTheirPlaceholdersAndTheStoredShortcut) {
    EXPECT_EQ(surface.placeholder, "Record Shortcut");
    EXPECT_EQ(surface.field, "");
    EXPECT_FALSE(surface.clearButton);
    layer->setShortcut(controlP, name);
    EXPECT_EQ(surface.field, "\u2303P");
    EXPECT_TRUE(surface.clearButton);

    record();
    EXPECT_EQ(surface.placeholder, "Press Shortcut");
    EXPECT_FALSE(surface.caret);
    surface.blur();
    EXPECT_EQ(surface.placeholder, "Record Shortcut");
    EXPECT_TRUE(surface.caret);

    // Another name shows its own shortcut; a second recorder of one name follows the first.
    Name other = layer->name("other", controlM);
    control.setShortcutName(other);
    EXPECT_EQ(surface.field, "\u2303M");
    FakeSurface secondSurface;
    RecorderControl second(layer, secondSurface, other);
    secondSurface.control = &second;
    record();
    control.handleKeyDown(down(35, {Modifier::control}));
    EXPECT_EQ(secondSurface.field, "\u2303P");
}

TEST_F(Recorder, DeleteClearsTheShownShortcutAndRecordingGoesOn) {
    layer->setShortcut(controlP, name);
    record();
    EXPECT_EQ(control.handleKeyDown(down(51)), Fate::swallow);
    EXPECT_EQ(layer->getShortcut(name), std::nullopt);
    EXPECT_EQ(surface.field, "");
    EXPECT_FALSE(surface.clearButton);
    EXPECT_EQ(changes, std::vector<std::optional<Shortcut>>{std::nullopt});
    EXPECT_TRUE(control.isRecording());
    EXPECT_FALSE(held(controlP));

    // The clear button while idle does the same and starts recording.
    layer->setShortcut(controlM, name);
    surface.blur();
    control.clear();
    EXPECT_EQ(layer->getShortcut(name), std::nullopt);
    EXPECT_TRUE(control.isRecording());
}

TEST_F(Recorder, AMouseReleaseAwayFromTheControlEndsRecordingAndIsHandedOn) {
    record();
    EXPECT_EQ(control.handleMouseUp(true), Fate::swallow);
    EXPECT_TRUE(control.isRecording());
    EXPECT_EQ(control.handleMouseUp(false), Fate::pass);
    EXPECT_FALSE(control.isRecording());
}

TEST_F(Recorder, AClashWithAMenuItemIsShownAndNothingIsStored) {
    // "A" in upper case stands for Shift+A: it clashes with Shift+Command+A, not Command+A.
    surface.menu = {{"File", "", {}, {{"Open", "o", {Modifier::command}, {}}, {"Edit", "", {}, {{"Select All", "A", {Modifier::command}, {}}}}}}};
    record();
    EXPECT_EQ(control.handleKeyDown(down(0, {Modifier::shift, Modifier::command})), Fate::swallow);
    ASSERT_EQ(surface.alerts.size(), 1u);
    EXPECT_EQ(surface.alerts[0].messageText,
              "This keyboard shortcut cannot be used as it\u2019s already used by the \u201CSelect All\u201D menu item.");
    EXPECT_TRUE(surface.alerts[0].buttons.empty());
    EXPECT_EQ(layer->getShortcut(name), std::nullopt);
    // The alert came between two recordings.
    EXPECT_TRUE(control.isRecording());

    control.handleKeyDown(down(0, {Modifier::command}));
    EXPECT_EQ(surface.alerts.size(), 1u);
    EXPECT_EQ(layer->getShortcut(name), Shortcut(Key::a, {Modifier::command}));

    record();
    control.handleKeyDown(down(35, {Modifier::command}));
    EXPECT_EQ(surface.alerts.size(), 1u);
}

TEST_F(Recorder, ACombinationAnotherClientHoldsIsStoredOnlyWhenUsedAnyway) {
    const Shortcut controlShiftK(40, CarbonModifier::control | CarbonModifier::shift);
    backend->holdElsewhere(40, CarbonModifier::control | CarbonModifier::shift);
    record();
    surface.answers = {0};
    control.handleKeyDown(down(40, {Modifier::control, Modifier::shift}));
    ASSERT_EQ(surface.alerts.size(), 1u);
    EXPECT_EQ(surface.alerts[0].messageText,
              "This keyboard shortcut cannot be used as it\u2019s already a system-wide keyboard shortcut.");
    EXPECT_EQ(surface.alerts[0].buttons, (std::vector<std::string>{"OK", "Use Anyway"}));
    EXPECT_FALSE(surface.alerts[0].informativeText.empty());
    EXPECT_EQ(layer->getShortcut(name), std::nullopt);
    EXPECT_TRUE(control.isRecording());

    surface.answers = {1};
    control.handleKeyDown(down(40, {Modifier::control, Modifier::shift}));
    EXPECT_EQ(layer->getShortcut(name), controlShiftK);
    EXPECT_FALSE(control.isRecording());

    // Plain F12 is not checked; F12 with a modifier is.
    backend->holdElsewhere(111, 0);
    backend->holdElsewhere(111, CarbonModifier::control);
    int probes = backend->probes;
    record();
    control.handleKeyDown(down(111));
    EXPECT_EQ(backend->probes, probes);
    EXPECT_EQ(layer->getShortcut(name), Shortcut(111, 0));
    record();
    control.handleKeyDown(down(111, {Modifier::control}));
    EXPECT_EQ(surface.alerts.size(), 3u);
    EXPECT_EQ(layer->getShortcut(name), Shortcut(111, 0));
}

TEST_F(Recorder, WhileRecordingTheHotKeysAreReleasedAndTakenBackHoweverItEnds) {
    Name start = layer->name("startSession", controlP);
    int started = 0;
    layer->onKeyDown(start, [&] { ++started; });
    record();
    EXPECT_FALSE(held(controlP));
    EXPECT_FALSE(press(controlP));
    // A shortcut stored meanwhile is taken with the rest once recording ends.
    control.handleKeyDown(down(46, {Modifier::control}));
    EXPECT_TRUE(held(controlP));
    EXPECT_TRUE(held(controlM));
    press(controlP);
    EXPECT_EQ(started, 1);

    // A control that goes while recording gives the keys back.
    {
        FakeSurface gone;
        RecorderControl temporary(layer, gone, start);
        gone.control = &temporary;
        gone.focus();
        EXPECT_FALSE(held(controlP));
    }
    EXPECT_TRUE(held(controlP));
    EXPECT_FALSE(layer->isRecorderActive());
}

// Two recorders: the end of one leaves the other protected, also when the first ends twice.
TEST_F(Recorder, TheFlagStaysWhileAnotherRecorderStillRecords) {
    Name start = layer->name("startSession", controlP);
    int started = 0;
    layer->onKeyDown(start, [&] { ++started; });
    std::vector<bool> announced;
    auto token = notifications.addObserver(recorderActiveStatusDidChangeNotification,
                                           [&](const platform::Notification& notification) {
                                               if (auto* active = notification.get<bool>("isActive"))
                                                   announced.push_back(*active);
                                           });
    FakeSurface otherSurface;
    RecorderControl other(layer, otherSurface, layer->name("other"));
    otherSurface.control = &other;

    record();
    otherSurface.focus();
    surface.blur();
    EXPECT_TRUE(layer->isRecorderActive());
    // Its window losing the keyboard after the field lost focus ends it once more.
    control.endRecording();
    EXPECT_TRUE(layer->isRecorderActive());
    EXPECT_FALSE(held(controlP));
    backend->send({hotKeySignature, 1}, platform::HotKeyEventKind::pressed);
    EXPECT_EQ(started, 0);

    otherSurface.blur();
    EXPECT_FALSE(layer->isRecorderActive());
    EXPECT_EQ(announced, (std::vector<bool>{true, true, true, true, false}));
    press(controlP);
    EXPECT_EQ(started, 1);
}

TEST(RecorderMenuSearch, FindsTheFirstItemWithTheCandidatesKeyAndModifiers) {
    shortcuts_test::LettersLayout layout;
    const std::vector<MenuItem> menu{
        {"Quit", "q", {Modifier::command}, {}},
        {"View", "", {}, {{"Zoom", "p", {Modifier::control}, {}}, {"Print", "p", {Modifier::command}, {}}}},
        {"Print Again", "p", {Modifier::command}, {}},
    };
    struct Case {
        Shortcut candidate;
        const char* found;  // null: no clash
    };
    for (const auto& c : std::vector<Case>{{Shortcut(Key::q, {Modifier::command}), "Quit"},
                                           {Shortcut(Key::p, {Modifier::command}), "Print"},
                                           {Shortcut(Key::p, {Modifier::control}), "Zoom"},
                                           {Shortcut(Key::p, {Modifier::command, Modifier::option}), nullptr},
                                           {Shortcut(Key::q, {Modifier::command, Modifier::shift}), nullptr},
                                           // No character on this layout: nothing can clash.
                                           {Shortcut(Key::z, {Modifier::command}), nullptr}}) {
        const MenuItem* item = menuItemWithShortcut(menu, c.candidate, &layout);
        if (c.found) {
            ASSERT_NE(item, nullptr) << c.found;
            EXPECT_EQ(item->title, c.found);
        } else {
            EXPECT_EQ(item, nullptr) << c.candidate.carbonKeyCode;
        }
    }
}

}  // namespace
