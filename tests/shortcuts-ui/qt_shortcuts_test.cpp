// The Qt pieces against the fake hot-key backend: no X display needed.

#include <QAction>
#include <QFormLayout>
#include <QLabel>
#include <QShortcut>
#include <QWidget>

#include "platform/hotkeys/fake_hot_key_backend.hpp"
#include "shortcuts/qt/action_shortcut.hpp"
#include "shortcuts/qt/qt_keys.hpp"
#include "shortcuts/qt/recorder.hpp"
#include "shortcuts/qt/shortcut_helpers.hpp"
#include "ui_fixture.hpp"

namespace {

using namespace GlobalShortcuts;
using shortcuts_ui_test::processEventsFor;
using shortcuts_ui_test::processEventsUntil;

const Shortcut controlP(Key::p, {Modifier::control});
const Shortcut controlM(Key::m, {Modifier::control});
const QKeySequence ctrlP(QKeyCombination(Qt::ControlModifier, Qt::Key_P));
const QKeySequence ctrlM(QKeyCombination(Qt::ControlModifier, Qt::Key_M));

class QtShortcuts : public shortcuts_ui_test::QtLayerTest {
protected:
    QtShortcuts() { makeLayer(backend, layout); }
    // Lets the deferred updates run.
    void settle() { processEventsFor(std::chrono::milliseconds(30)); }

    std::shared_ptr<platform::FakeHotKeyBackend> backend = std::make_shared<platform::FakeHotKeyBackend>();
    std::shared_ptr<shortcuts_ui_test::LettersLayout> layout = std::make_shared<shortcuts_ui_test::LettersLayout>();
};

TEST_F(QtShortcuts, KeySequencesAndMenuItemsNameTheKeysQtMatches) {
    struct Case {
        Shortcut shortcut;
        QKeySequence sequence;
    };
    const std::vector<Case> cases{
        {controlP, ctrlP},
        {Shortcut(Key::k, {Modifier::control, Modifier::shift, Modifier::option, Modifier::command}),
         QKeySequence(QKeyCombination(Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier | Qt::MetaModifier,
                                      Qt::Key_K))},
        {Shortcut(Key::f5, {Modifier::shift}), QKeySequence(QKeyCombination(Qt::ShiftModifier, Qt::Key_F5))},
        {Shortcut(Key::space, {Modifier::option}), QKeySequence(QKeyCombination(Qt::AltModifier, Qt::Key_Space))},
        {Shortcut(Key::delete_, {Modifier::command}), QKeySequence(QKeyCombination(Qt::MetaModifier, Qt::Key_Backspace))},
        // No Qt key: the keypad, and a key the layout gives no character.
        {Shortcut(Key::keypad1, {Modifier::control}), QKeySequence()},
        {Shortcut(Key::z, {Modifier::control}), QKeySequence()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(keySequence(c.shortcut, layout.get()), c.sequence) << c.shortcut.carbonKeyCode;
        if (c.sequence.isEmpty()) continue;
        // What a menu item with that sequence clashes with is the shortcut itself.
        MenuItem item = menuItem(QStringLiteral("&Item"), c.sequence);
        EXPECT_EQ(item.title, "Item");
        ASSERT_NE(menuItemWithShortcut({item}, c.shortcut, layout.get()), nullptr) << c.shortcut.carbonKeyCode;
    }
}

TEST_F(QtShortcuts, ABoundActionFollowsItsNamesStoredShortcut) {
    Name start = layer->name("startSession", controlP);
    QAction action;
    setShortcutFor(&action, start, layer);
    EXPECT_EQ(action.shortcut(), ctrlP);

    layer->setShortcut(Shortcut(Key::q, {Modifier::command}), start);
    settle();
    EXPECT_EQ(action.shortcut(), QKeySequence(QKeyCombination(Qt::MetaModifier, Qt::Key_Q)));
    layer->setShortcut(std::nullopt, start);
    settle();
    EXPECT_TRUE(action.shortcut().isEmpty());
    layer->setShortcut(controlM, layer->name("other"));
    layer->setShortcut(controlP, start);
    settle();
    EXPECT_EQ(action.shortcut(), ctrlP);

    setShortcutFor(&action, std::nullopt, layer);
    EXPECT_TRUE(action.shortcut().isEmpty());
    layer->setShortcut(controlM, start);
    settle();
    EXPECT_TRUE(action.shortcut().isEmpty());

    QAction never;
    setShortcutFor(&never, std::nullopt, layer);
    EXPECT_TRUE(never.shortcut().isEmpty());
    setShortcut(&never, controlM, layout.get());
    EXPECT_EQ(never.shortcut(), ctrlM);
}

// Rebinding ends the earlier observation; a bound action that goes takes its binding along.
TEST_F(QtShortcuts, AReboundActionNoLongerFollowsItsEarlierNameAndIsNotKeptAlive) {
    Name start = layer->name("startSession", controlP);
    Name end = layer->name("endSession", controlM);
    QAction action;
    setShortcutFor(&action, start, layer);
    setShortcutFor(&action, end, layer);
    EXPECT_EQ(action.shortcut(), ctrlM);
    layer->setShortcut(Shortcut(Key::q, {Modifier::control}), start);
    settle();
    EXPECT_EQ(action.shortcut(), ctrlM);

    auto* gone = new QAction;
    setShortcutFor(gone, start, layer);
    layer->setShortcut(controlP, start);  // the update is scheduled...
    delete gone;                          // ...and its action goes before it runs
    layer->setShortcut(controlM, start);
    settle();
    EXPECT_EQ(action.shortcut(), ctrlM);
}

TEST_F(QtShortcuts, AnInWindowShortcutFollowsTheStoredOneAndIsOffWhileARecorderRecords) {
    Name start = layer->name("startSession", controlP);
    QWidget window;
    QShortcut* shortcut = globalKeyboardShortcut(&window, start, layer);
    ASSERT_NE(shortcut, nullptr);
    EXPECT_EQ(shortcut->key(), ctrlP);
    layer->setShortcut(controlM, start);
    EXPECT_EQ(shortcut->key(), ctrlM);
    layer->setShortcut(controlP, layer->name("other"));
    EXPECT_EQ(shortcut->key(), ctrlM);

    layer->recorderDidStart();
    EXPECT_TRUE(shortcut->key().isEmpty());
    // One made while a recorder records has no key either.
    QShortcut* later = globalKeyboardShortcut(&window, start, layer);
    EXPECT_TRUE(later->key().isEmpty());
    layer->recorderDidEnd(true);
    EXPECT_EQ(shortcut->key(), ctrlM);
    EXPECT_EQ(later->key(), ctrlM);

    layer->setShortcut(std::nullopt, start);
    EXPECT_TRUE(shortcut->key().isEmpty());
}

TEST_F(QtShortcuts, EventHandlersRunWhileTheirOwnerLives) {
    Name start = layer->name("startSession", controlP);
    std::vector<EventType> all;
    int releases = 0;
    auto owner = std::make_unique<QObject>();
    onGlobalKeyboardShortcut(owner.get(), start, [&](EventType type) { all.push_back(type); }, layer);
    onGlobalKeyboardShortcut(owner.get(), start, EventType::keyUp, [&] { ++releases; }, layer);
    settle();
    backend->press(35, 4096);
    backend->release(35, 4096);
    backend->press(35, 4096);
    ASSERT_TRUE(processEventsUntil([&] { return all.size() == 3; }));
    backend->release(35, 4096);
    ASSERT_TRUE(processEventsUntil([&] { return releases == 2; }));
    EXPECT_EQ(all, (std::vector<EventType>{EventType::keyDown, EventType::keyUp, EventType::keyDown, EventType::keyUp}));

    owner.reset();
    settle();
    backend->press(35, 4096);
    backend->release(35, 4096);
    settle();
    EXPECT_EQ(all.size(), 4u);
    EXPECT_EQ(releases, 2);
    // The streams ended with their owner, and with them the hot key nothing else used.
    EXPECT_FALSE(backend->heldId(35, 4096));
}

TEST_F(QtShortcuts, TheLabelledRecorderKeepsItsControlAndCallback) {
    Name start = layer->name("startSession", controlP);
    Name end = layer->name("endSession", controlM);
    std::vector<std::optional<Shortcut>> changes;

    Recorder bare(start, {}, nullptr, layer);
    EXPECT_EQ(bare.label(), nullptr);
    EXPECT_EQ(bare.control()->text(), QStringLiteral("\u2303P"));
    EXPECT_GE(bare.control()->sizeHint().width(), RecorderQt::minimumWidth);

    QWidget form;
    auto* layout = new QFormLayout(&form);
    auto* titled = new Recorder(QStringLiteral("Start Call:"), start, [&](auto s) { changes.push_back(s); }, nullptr, layer);
    auto* custom = new Recorder(end, {}, new QLabel(QStringLiteral("End Call:")), nullptr, layer);
    titled->addTo(*layout);
    custom->addTo(*layout);
    ASSERT_EQ(layout->rowCount(), 2);
    EXPECT_EQ(qobject_cast<QLabel*>(layout->itemAt(0, QFormLayout::LabelRole)->widget())->text(), QStringLiteral("Start Call:"));
    EXPECT_EQ(layout->itemAt(1, QFormLayout::FieldRole)->widget(), custom);

    RecorderQt* control = titled->control();
    titled->setName(end);
    EXPECT_EQ(titled->control(), control);
    EXPECT_EQ(control->text(), QStringLiteral("\u2303M"));
    control->clearAction()->trigger();
    EXPECT_EQ(layer->getShortcut(end), std::nullopt);
    EXPECT_EQ(changes, std::vector<std::optional<Shortcut>>{std::nullopt});
    EXPECT_TRUE(custom->control()->text().isEmpty());
}

}  // namespace
