#include "shortcuts/hot_keys.hpp"

#include <gtest/gtest.h>

#include "platform/hotkeys/fake_hot_key_backend.hpp"
#include "platform/runtime/print.hpp"

namespace {

using namespace GlobalShortcuts;
using platform::HotKeyEventKind;

class HotKeyRegistration : public ::testing::Test {
protected:
    std::shared_ptr<platform::FakeHotKeyBackend> backend = std::make_shared<platform::FakeHotKeyBackend>();
    HotKeys hotKeys{
        backend, [](const Shortcut& shortcut) { return "<" + std::to_string(shortcut.carbonKeyCode) + ">"; }};
    std::vector<std::string> lines;
    platform::ScopedPrintSink sink{[this](std::string_view line) { lines.emplace_back(line); }};
    std::vector<std::string> calls;

    bool add(std::int64_t keyCode, std::int64_t modifiers) {
        return hotKeys.registerHotKey(
            keyCode, modifiers,
            [this](const Shortcut& s) { calls.push_back("down " + std::to_string(s.carbonKeyCode)); },
            [this](const Shortcut& s) { calls.push_back("up " + std::to_string(s.carbonKeyCode)); });
    }
    std::vector<std::int64_t> ids() const {
        std::vector<std::int64_t> out;
        for (const auto& entry : hotKeys.entries()) out.push_back(entry.id);
        return out;
    }
};

TEST_F(HotKeyRegistration, IdsCountUpARefusedAttemptSpendsItsIdAndEventsFindTheirId) {
    EXPECT_TRUE(add(35, 4096));
    EXPECT_TRUE(add(46, 4096));
    backend->refuse(12, 256, platform::HotKeyStatus::accessDenied);
    EXPECT_FALSE(add(12, 256));
    EXPECT_EQ(lines, std::vector<std::string>{"Error registering hotkey <12>: 10"});
    EXPECT_TRUE(add(0, 256));
    EXPECT_EQ(ids(), (std::vector<std::int64_t>{1, 2, 4}));
    ASSERT_EQ(backend->held().size(), 3u);
    EXPECT_EQ(backend->held()[2].id, (platform::HotKeyId{hotKeySignature, 4}));

    hotKeys.unregisterHotKeys(46, 4096);
    EXPECT_TRUE(add(46, 4096));
    EXPECT_EQ(ids(), (std::vector<std::int64_t>{1, 4, 5}));

    // Events reach the actions of their id only.
    backend->send({hotKeySignature, 1}, HotKeyEventKind::pressed);
    backend->send({hotKeySignature, 1}, HotKeyEventKind::released);
    EXPECT_EQ(hotKeys.handleHotKeyEvent({0x41424344, 1}, HotKeyEventKind::pressed), eventNotHandledStatus);
    EXPECT_EQ(hotKeys.handleHotKeyEvent({hotKeySignature, 9}, HotKeyEventKind::pressed),
              eventNotHandledStatus);
    EXPECT_EQ(calls, (std::vector<std::string>{"down 35", "up 35"}));
}

TEST_F(HotKeyRegistration, AnOpenMenuSuspendsHotKeysAndMatchesItsKeyEventsInstead) {
    add(35, 4096);
    add(46, 4096);
    hotKeys.setMenuOpen(true);
    EXPECT_TRUE(backend->held().empty());
    EXPECT_EQ(ids(), (std::vector<std::int64_t>{1, 2}));
    for (const auto& entry : hotKeys.entries()) EXPECT_FALSE(entry.live);

    // Key events the menu sees: registered ones are consumed (caps lock is ignored), others pass.
    EXPECT_TRUE(
        hotKeys.handleMenuKeyEvent({KeyEvent::Type::keyDown, 35, {Modifier::control, Modifier::capsLock}}));
    EXPECT_TRUE(hotKeys.handleMenuKeyEvent({KeyEvent::Type::keyUp, 35, {Modifier::control}}));
    EXPECT_FALSE(hotKeys.handleMenuKeyEvent({KeyEvent::Type::keyDown, 35, {Modifier::command}}));
    EXPECT_FALSE(hotKeys.handleMenuKeyEvent({KeyEvent::Type::keyDown, 12, {Modifier::control}}));
    EXPECT_EQ(calls, (std::vector<std::string>{"down 35", "up 35"}));
    // Hot-key events are not handled meanwhile.
    EXPECT_EQ(hotKeys.handleHotKeyEvent({hotKeySignature, 1}, HotKeyEventKind::pressed),
              eventNotHandledStatus);

    // Closing takes every hot key again under its old id; one that is refused now is dropped.
    backend->refuse(46, 4096, platform::HotKeyStatus::accessDenied);
    hotKeys.setMenuOpen(false);
    EXPECT_EQ(ids(), std::vector<std::int64_t>{1});
    ASSERT_EQ(backend->held().size(), 1u);
    EXPECT_EQ(backend->held()[0].id.id, 1u);
    EXPECT_EQ(lines, std::vector<std::string>{"Error registering hotkey <46>: 10"});
    EXPECT_FALSE(hotKeys.handleMenuKeyEvent({KeyEvent::Type::keyDown, 35, {Modifier::control}}));
}

TEST_F(HotKeyRegistration, SwitchingOffSuspendsAndSwitchingOnTakesThemAgain) {
    // Before the first registration the switches only change the flags.
    hotKeys.setMenuOpen(true);
    hotKeys.setMenuOpen(false);
    EXPECT_EQ(backend->unregisterCalls, 0);
    EXPECT_FALSE(backend->hasEventHandler());

    add(35, 4096);
    EXPECT_TRUE(backend->hasEventHandler());
    hotKeys.setEnabled(false);
    EXPECT_TRUE(backend->held().empty());
    int unregisters = backend->unregisterCalls;
    hotKeys.setEnabled(false);
    EXPECT_EQ(backend->unregisterCalls, unregisters);

    // Registered while switched off: known, but the key stays free.
    add(46, 4096);
    EXPECT_TRUE(backend->held().empty());
    EXPECT_FALSE(hotKeys.handleMenuKeyEvent({KeyEvent::Type::keyDown, 35, {Modifier::control}}));

    hotKeys.setEnabled(true);
    ASSERT_EQ(backend->held().size(), 2u);
    EXPECT_EQ(backend->held()[0].id.id, 1u);
    EXPECT_EQ(backend->held()[1].id.id, 2u);
    backend->press(46, 4096);
    EXPECT_EQ(calls, std::vector<std::string>{"down 46"});
}

TEST_F(HotKeyRegistration, RefusedAndLostCombinationsAreTriedAgainAndReportedOncePerCombination) {
    backend->refuse(12, 256, platform::HotKeyStatus::accessDenied);
    EXPECT_FALSE(add(12, 256));
    hotKeys.retryRefused();
    EXPECT_EQ(hotKeys.refusedShortcuts(), std::vector<Shortcut>{Shortcut(12, 256)});
    backend->allow(12, 256);
    hotKeys.retryRefused();
    EXPECT_TRUE(hotKeys.refusedShortcuts().empty());
    // Every attempt spent an id.
    EXPECT_EQ(ids(), std::vector<std::int64_t>{3});
    backend->press(12, 256);
    EXPECT_EQ(calls, std::vector<std::string>{"down 12"});

    // A refused one waits for a keymap change as well.
    backend->refuse(46, 4096, platform::HotKeyStatus::accessDenied);
    add(46, 4096);
    backend->allow(46, 4096);
    backend->changeKeymap();
    EXPECT_TRUE(backend->heldId(46, 4096));

    // One a keymap change takes away is reported, forgotten as a hot key and taken at the next
    // chance; its failure line is not printed again.
    add(35, 4096);
    backend->changeKeymap({{35, 4096}}, platform::HotKeyStatus::noSuchKey);
    EXPECT_EQ(hotKeys.refusedShortcuts(), std::vector<Shortcut>{Shortcut(35, 4096)});
    for (const auto& entry : hotKeys.entries()) EXPECT_NE(entry.shortcut, Shortcut(35, 4096));
    backend->refuse(35, 4096, platform::HotKeyStatus::accessDenied);
    hotKeys.retryRefused();
    backend->allow(35, 4096);
    backend->changeKeymap();
    backend->press(35, 4096);
    EXPECT_EQ(calls.back(), "down 35");
    EXPECT_EQ(lines, (std::vector<std::string>{"Error registering hotkey <12>: 10", "Error registering hotkey <46>: 10",
                                               "Error registering hotkey <35>: -2"}));

    // Unregistering drops the wish too.
    backend->refuse(0, 256, platform::HotKeyStatus::accessDenied);
    add(0, 256);
    hotKeys.unregisterHotKeys(0, 256);
    backend->allow(0, 256);
    hotKeys.retryRefused();
    EXPECT_FALSE(backend->heldId(0, 256));
}

}  // namespace
