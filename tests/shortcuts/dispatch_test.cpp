#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "layer_fixture.hpp"

namespace {

using namespace GlobalShortcuts;
using shortcuts_test::commandQ;
using shortcuts_test::controlM;
using shortcuts_test::controlP;
namespace asio = boost::asio;

class Dispatch : public shortcuts_test::LayerTest {
protected:
    std::vector<std::string> calls;
    ShortcutLayer::Action record(std::string label) {
        return [this, label] { calls.push_back(label); };
    }
    std::vector<EventType> drain(EventStream& stream) {
        std::vector<EventType> out;
        while (auto event = stream.tryNext()) out.push_back(*event);
        return out;
    }
};

TEST_F(Dispatch, APressRunsTheKeyDownActionsInTheOrderAdded) {
    Name name = layer->name("startSession", controlP);
    layer->onKeyDown(name, record("first"));
    layer->onKeyDown(name, record("second"));
    layer->onKeyDown(name, record("first"));
    EXPECT_TRUE(press(controlP));
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second", "first"}));
    EXPECT_TRUE(release(controlP));
    EXPECT_EQ(calls.size(), 3u);

    layer->onKeyUp(name, record("up"));
    release(controlP);
    EXPECT_EQ(calls.back(), "up");
    EXPECT_EQ(backend->held().size(), 1u);
}

TEST_F(Dispatch, ActionsWaitForAShortcutAndFollowTheStoredOne) {
    Name name = layer->name("custom");
    layer->onKeyDown(name, record("custom"));
    EXPECT_TRUE(backend->held().empty());
    layer->setShortcut(controlP, name);
    EXPECT_TRUE(press(controlP));
    EXPECT_EQ(calls, std::vector<std::string>{"custom"});

    // The stored value is read at each press: a hot key whose name now holds another shortcut
    // runs nothing.
    defaults.set("GlobalShortcuts_custom", platform::UserDefaults::Value(commandQ.toJson()));
    press(controlP);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(Dispatch, NamesSharingAShortcutShareOneHotKeyThatOutlivesEitherNamesChange) {
    Name a = layer->name("a");
    Name b = layer->name("b");
    layer->onKeyDown(a, record("a"));
    layer->onKeyDown(b, record("b"));
    layer->setShortcut(controlP, a);
    layer->setShortcut(controlP, b);
    EXPECT_EQ(backend->held().size(), 1u);
    press(controlP);
    EXPECT_EQ(calls, (std::vector<std::string>{"a", "b"}));

    // Changing, clearing or resetting one name keeps the key the other still uses.
    calls.clear();
    layer->setShortcut(commandQ, a);
    press(controlP);
    EXPECT_EQ(calls, std::vector<std::string>{"b"});
    layer->setShortcut(std::nullopt, a);
    layer->reset({a});
    press(controlP);
    EXPECT_EQ(calls, (std::vector<std::string>{"b", "b"}));

    // Once nobody uses it the key is released.
    layer->setShortcut(controlM, b);
    EXPECT_FALSE(held(controlP));
}

TEST_F(Dispatch, ARefusedRegistrationIsRetriedByTheNextOne) {
    backend->refuse(35, 4096, platform::HotKeyStatus::accessDenied);
    Name name = layer->name("startSession", controlP);
    EXPECT_EQ(lines, std::vector<std::string>{"Error registering hotkey \u2303P: 10"});
    EXPECT_TRUE(layer->registeredShortcuts().empty());

    backend->allow(35, 4096);
    layer->onKeyDown(name, record("start"));
    EXPECT_TRUE(held(controlP));
    press(controlP);
    EXPECT_EQ(calls, std::vector<std::string>{"start"});

    // Dropped after a menu closed: enable() takes it again.
    backend->refuse(35, 4096, platform::HotKeyStatus::accessDenied);
    notifications.post(menuDidBeginTrackingNotification);
    notifications.post(menuDidEndTrackingNotification);
    EXPECT_FALSE(held(controlP));
    EXPECT_TRUE(layer->registeredShortcuts().empty());
    backend->allow(35, 4096);
    layer->enable({name});
    EXPECT_TRUE(held(controlP));
}

TEST_F(Dispatch, ARefusedHotKeyIsTakenWhenTheApplicationRetriesOrTheKeymapChanges) {
    backend->refuse(35, 4096, platform::HotKeyStatus::accessDenied);
    Name name = layer->name("startSession", controlP);
    layer->onKeyDown(name, record("start"));
    layer->retryRefusedHotKeys();
    EXPECT_FALSE(held(controlP));
    backend->allow(35, 4096);
    layer->retryRefusedHotKeys();
    press(controlP);
    EXPECT_EQ(calls, std::vector<std::string>{"start"});

    // Taken away by a keymap change: said once, taken back at the next change.
    backend->changeKeymap({{35, 4096}});
    EXPECT_FALSE(held(controlP));
    EXPECT_FALSE(layer->registeredShortcuts().count(controlP));
    backend->changeKeymap();
    press(controlP);
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_EQ(lines, std::vector<std::string>{"Error registering hotkey \u2303P: 10"});
}

// Beyond 32 bits, or negative: refused before the platform is asked.
TEST_F(Dispatch, KeyCodesThePlatformCannotTakeFailWithTheFailureLine) {
    Name name = layer->name("odd", Shortcut(Key(std::int64_t{1} << 40), {Modifier::control}));
    layer->onKeyDown(name, record("odd"));
    layer->name("negative", Shortcut(Key(-1), {}));
    // One line per combination: the second attempt for "odd" says nothing new.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Error registering hotkey \u2303\uFFFD: -4");
    EXPECT_EQ(lines[1], "Error registering hotkey \uFFFD: -4");
    EXPECT_EQ(backend->registerCalls, 0);
}

TEST_F(Dispatch, NothingRunsWhileARecorderRecords) {
    Name name = layer->name("startSession", controlP);
    layer->onKeyDown(name, record("start"));
    auto stream = layer->events(name);
    settle();
    std::vector<bool> announced;
    auto token = notifications.addObserver(recorderActiveStatusDidChangeNotification,
                                           [&](const platform::Notification& notification) {
                                               if (auto* active = notification.get<bool>("isActive"))
                                                   announced.push_back(*active);
                                           });
    layer->setRecorderActive(true);
    press(controlP);
    release(controlP);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(drain(stream).empty());
    layer->setRecorderActive(false);
    press(controlP);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(announced, (std::vector<bool>{true, false}));
}

TEST_F(Dispatch, DisablingTheNameOrEveryKeyAndOpenMenusReleaseTheKey) {
    Name name = layer->name("startSession", controlP);
    layer->onKeyDown(name, record("start"));
    layer->disable({name});
    EXPECT_FALSE(press(controlP));
    layer->enable({name});
    EXPECT_TRUE(press(controlP));
    layer->setEnabled(false);
    EXPECT_FALSE(held(controlP));
    layer->setEnabled(true);
    EXPECT_TRUE(held(controlP));

    notifications.post(menuDidBeginTrackingNotification);
    EXPECT_FALSE(held(controlP));
    EXPECT_TRUE(layer->handleMenuKeyEvent({KeyEvent::Type::keyDown, 35, {Modifier::control}}));
    EXPECT_FALSE(layer->handleMenuKeyEvent({KeyEvent::Type::keyDown, 46, {Modifier::control}}));
    EXPECT_EQ(calls, (std::vector<std::string>{"start", "start"}));
    notifications.post(menuDidEndTrackingNotification);
    EXPECT_TRUE(held(controlP));
    EXPECT_FALSE(layer->handleMenuKeyEvent({KeyEvent::Type::keyDown, 35, {Modifier::control}}));
}

TEST_F(Dispatch, StreamsReceivePressesWhileTheyLiveAndKeepTheirKeyWithoutActions) {
    Name name = layer->name("startSession", controlP);
    auto both = layer->events(name);
    auto upsOnly = layer->events(EventType::keyUp, name);
    press(controlP);  // before the streams' set-up ran on the main executor: not seen
    settle();
    press(controlP);
    release(controlP);
    EXPECT_EQ(drain(both), (std::vector<EventType>{EventType::keyDown, EventType::keyUp}));
    EXPECT_EQ(drain(upsOnly), std::vector<EventType>{EventType::keyUp});

    // Removing every action releases the keys that only actions used; ending one of two streams
    // keeps the key; ending the last releases it, a new one takes it.
    Name acted = layer->name("acted", controlM);
    layer->onKeyDown(name, record("streamed"));
    layer->onKeyDown(acted, record("acted"));
    layer->removeAllHandlers();
    EXPECT_FALSE(held(controlM));
    upsOnly.end();
    settle();
    EXPECT_TRUE(held(controlP));
    press(controlP);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(drain(both), std::vector<EventType>{EventType::keyDown});
    both.end();
    settle();
    EXPECT_FALSE(held(controlP));
    auto again = layer->events(name);
    settle();
    EXPECT_TRUE(held(controlP));
}

TEST_F(Dispatch, AwaitingTheStreamAndCancellingItsTask) {
    Name name = layer->name("startSession", controlP);
    std::vector<EventType> received;
    bool finished = false;
    asio::cancellation_signal cancel;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            auto stream = layer->events(name);
            while (auto event = co_await stream.next()) received.push_back(*event);
            finished = true;
        },
        asio::bind_cancellation_slot(cancel.slot(), asio::detached));
    settle();
    press(controlP);
    release(controlP);
    EXPECT_EQ(received, (std::vector<EventType>{EventType::keyDown, EventType::keyUp}));

    cancel.emit(asio::cancellation_type::terminal);
    settle();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(held(controlP));
}

TEST_F(Dispatch, TheProcessWideOperationsUseTheInstalledLayer) {
    ShortcutLayer::install(layer);
    Name startSession("startSession", controlP);
    GlobalShortcuts::onKeyDown(startSession, record("start"));
    EXPECT_EQ(defaults.string("GlobalShortcuts_startSession"),
              R"({"carbonKeyCode":35,"carbonModifiers":4096})");
    press(controlP);
    EXPECT_EQ(calls, std::vector<std::string>{"start"});
    EXPECT_EQ(startSession.shortcut(), controlP);
    EXPECT_EQ(controlP.description(), "\u2303P");
    GlobalShortcuts::disable(startSession);
    EXPECT_FALSE(held(controlP));
    GlobalShortcuts::enable(startSession);
    EXPECT_TRUE(held(controlP));
    ShortcutLayer::install(nullptr);

    // Without a layer names are plain values.
    Name plain("other", controlM);
    EXPECT_FALSE(defaults.contains("GlobalShortcuts_other"));
    EXPECT_EQ(GlobalShortcuts::getShortcut(startSession), std::nullopt);
}

}  // namespace
