#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <thread>

#include "platform/defaults/user_defaults.hpp"
#include "platform/hotkeys/xcb_hot_key_backend.hpp"
#include "platform/notifications/notification_center.hpp"
#include "platform/runtime/print.hpp"
#include "shortcuts/global_shortcuts.hpp"
#include "support/backend_environment.hpp"
#include "x11_driver.hpp"

namespace {

using namespace GlobalShortcuts;
using namespace std::chrono_literals;
namespace Keysym = x11_test::Keysym;

const Shortcut controlP(Key::p, {Modifier::control});
const Shortcut controlM(Key::m, {Modifier::control});

class X11HotKeys : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto reason = driver.unavailable(); !reason.empty()) GTEST_SKIP() << reason;
        for (int attempt = 0; attempt < 20 && !(backend && backend->isConnected()); ++attempt) {
            if (attempt) std::this_thread::sleep_for(50ms);
            backend = platform::XcbHotKeyBackend::create(io.get_executor(), shared.get_executor());
        }
        ASSERT_TRUE(backend->isConnected());
        layer = ShortcutLayer::create(defaults, notifications, io.get_executor(), backend,
                                      backend->keyboardLayout());
    }
    void TearDown() override {
        ShortcutLayer::install(nullptr);
        layer.reset();
        backend.reset();
    }

    // Counts the presses and releases of a name.
    struct Counts {
        int down = 0;
        int up = 0;
    };
    std::shared_ptr<Counts> follow(const Name& name) {
        auto counts = std::make_shared<Counts>();
        layer->onKeyDown(name, [counts] { ++counts->down; });
        layer->onKeyUp(name, [counts] { ++counts->up; });
        return counts;
    }

    x11_test::Driver driver;
    boost::asio::io_context io;          // the main executor
    boost::asio::thread_pool shared{1};  // where the connection is watched
    support::TemporaryFolder folder;
    platform::UserDefaults defaults{folder.path() / "defaults.json"};
    platform::NotificationCenter notifications;
    std::shared_ptr<platform::XcbHotKeyBackend> backend;
    std::shared_ptr<ShortcutLayer> layer;
    std::vector<std::string> lines;
    platform::ScopedPrintSink sink{[this](std::string_view line) { lines.emplace_back(line); }};
};

TEST_F(X11HotKeys, ControlPRunsKeyDownOnceAndKeyUpOnceWhateverLocksAreOn) {
    auto counts = follow(layer->name("startSession", controlP));
    driver.chord({Keysym::controlL, Keysym::p});
    ASSERT_TRUE(support::runUntil(io, [&] { return counts->up == 1; }));
    EXPECT_EQ(counts->down, 1);

    struct Lock {
        std::uint32_t keysym;
        const char* name;
    };
    for (auto locks :
         {std::vector<Lock>{{Keysym::numLock, "NumLock"}}, std::vector<Lock>{{Keysym::capsLock, "CapsLock"}},
          std::vector<Lock>{{Keysym::numLock, "NumLock"}, {Keysym::capsLock, "CapsLock"}}}) {
        std::uint16_t before = driver.modifierState();
        for (const auto& lock : locks) driver.tap(lock.keysym);
        EXPECT_NE(driver.modifierState(), before) << "the lock did not engage";
        int down = counts->down;
        driver.chord({Keysym::controlL, Keysym::p});
        EXPECT_TRUE(support::runUntil(io, [&] { return counts->up == down + 1; })) << locks.back().name;
        EXPECT_EQ(counts->down, down + 1) << locks.back().name;
        for (const auto& lock : locks) driver.tap(lock.keysym);
        EXPECT_EQ(driver.modifierState(), before);
    }
}

// Control+M, pressed last each time, shows that everything before it has been handled.
TEST_F(X11HotKeys, OtherCombinationsAndUnregisteredOrDisabledNamesRunNothing) {
    Name name = layer->name("startSession", controlP);
    auto counts = follow(name);
    auto sentinel = follow(layer->name("endSession", controlM));
    driver.tap(Keysym::p);
    driver.chord({Keysym::controlL, Keysym::shiftL, Keysym::p});
    driver.chord({Keysym::controlL, Keysym::m});
    ASSERT_TRUE(support::runUntil(io, [&] { return sentinel->up == 1; }));

    layer->setShortcut(std::nullopt, name);
    driver.chord({Keysym::controlL, Keysym::p});
    driver.chord({Keysym::controlL, Keysym::m});
    ASSERT_TRUE(support::runUntil(io, [&] { return sentinel->up == 2; }));

    layer->setShortcut(controlP, name);
    layer->disable({name});
    driver.chord({Keysym::controlL, Keysym::p});
    driver.chord({Keysym::controlL, Keysym::m});
    ASSERT_TRUE(support::runUntil(io, [&] { return sentinel->up == 3; }));
    EXPECT_EQ(counts->down, 0);
    EXPECT_EQ(counts->up, 0);
}

TEST_F(X11HotKeys, HoldingTheKeyGivesOneKeyDownAndTheReleaseFollowsThePress) {
    auto counts = follow(layer->name("startSession", controlP));
    auto control = driver.keycode(Keysym::controlL);
    auto p = driver.keycode(Keysym::p);
    driver.down(control);
    driver.down(p);
    // Longer than the server's auto-repeat delay.
    x11_test::runFor(io, 1200ms);
    EXPECT_EQ(counts->down, 1);
    // Control goes up first: the release still belongs to Control-P.
    driver.up(control);
    driver.up(p);
    ASSERT_TRUE(support::runUntil(io, [&] { return counts->up == 1; }));
    EXPECT_EQ(counts->down, 1);
}

TEST_F(X11HotKeys, ACombinationAnotherClientHoldsFailsWithTheFailureLine) {
    auto p = driver.keycode(Keysym::p);
    ASSERT_TRUE(driver.grabKey(p, XCB_MOD_MASK_CONTROL));
    Name name = layer->name("startSession", controlP);
    EXPECT_EQ(lines, std::vector<std::string>{"Error registering hotkey \u2303P: 10"});
    EXPECT_TRUE(layer->registeredShortcuts().empty());

    // Once the other client lets go, enabling takes it.
    driver.ungrabKey(p, XCB_MOD_MASK_CONTROL);
    layer->enable({name});
    auto counts = follow(name);
    driver.chord({Keysym::controlL, Keysym::p});
    EXPECT_TRUE(support::runUntil(io, [&] { return counts->down == 1; }));
}

TEST_F(X11HotKeys, OptionAndCommandUseTheServersAltAndSuperModifiersWhereverTheMapPutsThem) {
    auto option = follow(layer->name("option", Shortcut(Key::m, {Modifier::option})));
    auto command = follow(layer->name("command", Shortcut(Key::m, {Modifier::command})));
    driver.chord({Keysym::altL, Keysym::m});
    ASSERT_TRUE(support::runUntil(io, [&] { return option->up == 1; }));
    driver.chord({Keysym::superL, Keysym::m});
    ASSERT_TRUE(support::runUntil(io, [&] { return command->up == 1; }));
    EXPECT_EQ(option->down, 1);
    EXPECT_EQ(command->down, 1);

    // The function modifier has no X11 counterpart.
    layer->name("function", Shortcut(Key::m, {Modifier::function}));
    EXPECT_EQ(lines, std::vector<std::string>{"Error registering hotkey \U0001F310\uFE0EM: " +
                                              std::to_string(platform::HotKeyStatus::unsupportedModifier)});

    // A modifier map change grabs again.
    auto connection = driver.connection();
    auto reply = xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr);
    ASSERT_NE(reply, nullptr);
    int perModifier = reply->keycodes_per_modifier;
    std::vector<xcb_keycode_t> original(xcb_get_modifier_mapping_keycodes(reply),
                                        xcb_get_modifier_mapping_keycodes(reply) + 8 * perModifier);
    std::free(reply);

    // Move the Super keys from Mod4 to Mod3 (left empty by the default keymap).
    auto moved = original;
    bool mod3Empty = true;
    for (int i = 0; i < perModifier; ++i) mod3Empty = mod3Empty && moved[5 * perModifier + i] == 0;
    if (!mod3Empty) GTEST_SKIP() << "Mod3 is in use on this server";
    for (int i = 0; i < perModifier; ++i) std::swap(moved[5 * perModifier + i], moved[6 * perModifier + i]);
    auto set = [&](std::vector<xcb_keycode_t>& map) {
        auto result = xcb_set_modifier_mapping_reply(
            connection,
            xcb_set_modifier_mapping(connection, static_cast<std::uint8_t>(perModifier), map.data()),
            nullptr);
        bool ok = result && result->status == XCB_MAPPING_STATUS_SUCCESS;
        std::free(result);
        return ok;
    };
    ASSERT_TRUE(set(moved));
    x11_test::runFor(io, 300ms);
    driver.chord({Keysym::superL, Keysym::m});
    bool fired = support::runUntil(io, [&] { return command->down == 2; });
    ASSERT_TRUE(set(original));
    EXPECT_TRUE(fired);
    x11_test::runFor(io, 300ms);
    driver.chord({Keysym::superL, Keysym::m});
    EXPECT_TRUE(support::runUntil(io, [&] { return command->down == 3; }));
}

TEST_F(X11HotKeys, AHotKeyAnotherClientHeldIsTakenWhenAskedOrAtTheNextKeymapChangeAndReportedOnce) {
    auto p = driver.keycode(Keysym::p);
    ASSERT_TRUE(driver.grabKey(p, XCB_MOD_MASK_CONTROL));
    Name name = layer->name("startSession", controlP);
    auto counts = follow(name);
    layer->retryRefusedHotKeys();
    driver.touchKeymap();
    x11_test::runFor(io, 300ms);
    EXPECT_TRUE(layer->registeredShortcuts().empty());

    driver.ungrabKey(p, XCB_MOD_MASK_CONTROL);
    driver.touchKeymap();
    ASSERT_TRUE(support::runUntil(io, [&] { return !layer->registeredShortcuts().empty(); }));
    driver.chord({Keysym::controlL, Keysym::p});
    EXPECT_TRUE(support::runUntil(io, [&] { return counts->down == 1; }));
    EXPECT_EQ(lines, std::vector<std::string>{"Error registering hotkey \u2303P: 10"});
}

// Option+M is Mod1+M until the Alt keys move to Mod3, where another client holds M.
TEST_F(X11HotKeys, AGrabAKeymapChangeTakesAwayIsReportedAndTakenAgainLater) {
    auto counts = follow(layer->name("option", Shortcut(Key::m, {Modifier::option})));
    ASSERT_EQ(layer->registeredShortcuts().size(), 1u);
    int perModifier = 0;
    auto original = driver.modifierMap(perModifier);
    ASSERT_FALSE(original.empty());
    auto moved = original;
    for (int i = 0; i < perModifier; ++i) {
        if (moved[5 * perModifier + i] != 0) GTEST_SKIP() << "Mod3 is in use on this server";
        std::swap(moved[3 * perModifier + i], moved[5 * perModifier + i]);
    }
    auto m = driver.keycode(Keysym::m);
    ASSERT_TRUE(driver.grabKey(m, XCB_MOD_MASK_3));
    ASSERT_TRUE(driver.setModifierMap(moved, perModifier));
    bool reported = support::runUntil(io, [&] { return !lines.empty(); });
    bool dropped = layer->registeredShortcuts().empty();

    driver.ungrabKey(m, XCB_MOD_MASK_3);
    ASSERT_TRUE(driver.setModifierMap(original, perModifier));
    EXPECT_TRUE(reported);
    EXPECT_TRUE(dropped);
    EXPECT_EQ(lines, std::vector<std::string>{"Error registering hotkey \u2325M: 10"});
    ASSERT_TRUE(support::runUntil(io, [&] { return !layer->registeredShortcuts().empty(); }));
    driver.chord({Keysym::altL, Keysym::m});
    EXPECT_TRUE(support::runUntil(io, [&] { return counts->down == 1; }));
    EXPECT_EQ(lines.size(), 1u);
}

TEST(WaylandSession, IsToldByTheSessionTypeOrAWaylandDisplayNotByAMissingDisplay) {
    struct Case {
        const char* sessionType;
        const char* waylandDisplay;
        bool wayland;
    };
    for (const auto& c : std::vector<Case>{{"wayland", nullptr, true},
                                           {"wayland", "wayland-0", true},
                                           {nullptr, "wayland-0", true},
                                           {"tty", "wayland-1", true},
                                           {"", "wayland-0", true},
                                           {"x11", "wayland-0", false},
                                           {"x11", nullptr, false},
                                           {"tty", nullptr, false},
                                           {nullptr, "", false},
                                           {nullptr, nullptr, false}}) {
        EXPECT_EQ(platform::isWaylandSession(c.sessionType, c.waylandDisplay), c.wayland)
            << (c.sessionType ? c.sessionType : "(unset)") << " / " << (c.waylandDisplay ? c.waylandDisplay : "(unset)");
    }
}

// Under XWayland (DISPLAY set in a Wayland session) the grabs are still made, and the limit is
// said once, however many backends start.
TEST_F(X11HotKeys, AWaylandSessionWithXWaylandIsSaidOnceAndStillGrabs) {
    const char* before = std::getenv("XDG_SESSION_TYPE");
    std::string saved = before ? before : "";
    setenv("XDG_SESSION_TYPE", "wayland", 1);
    auto first = platform::XcbHotKeyBackend::create(io.get_executor(), shared.get_executor());
    auto second = platform::XcbHotKeyBackend::create(io.get_executor(), shared.get_executor());
    if (before) {
        setenv("XDG_SESSION_TYPE", saved.c_str(), 1);
    } else {
        unsetenv("XDG_SESSION_TYPE");
    }
    EXPECT_EQ(lines, std::vector<std::string>{"Global shortcuts are not available. This Wayland desktop offers "
                                              "applications no global keyboard shortcuts; Kestro's work only while a "
                                              "window of an X11 application has focus. Start and end calls from "
                                              "Kestro's menu in the panel."});
    EXPECT_TRUE(first->isConnected());
    EXPECT_EQ(first->registerHotKey(35, 4096, {hotKeySignature, 1}), platform::HotKeyStatus::ok);
    first->unregisterHotKey({hotKeySignature, 1});
}

// setxkbmap's own connection may meet the same resets as ours.
bool setLayout(const std::string& layout) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (std::system(("setxkbmap -layout " + layout + " 2>/dev/null").c_str()) == 0) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

TEST_F(X11HotKeys, DescriptionsReadTheServersKeymap) {
    EXPECT_EQ(layer->description(controlP), "\u2303P");
    EXPECT_EQ(layer->description(Shortcut(Key::a, {Modifier::command})), "\u2318A");
    if (!setLayout("fr")) GTEST_SKIP() << "setxkbmap cannot change the layout";
    auto counts = follow(layer->name("startSession", controlP));
    x11_test::runFor(io, 300ms);
    std::string azerty = layer->description(Shortcut(Key::a, {Modifier::command}));
    driver.chord({Keysym::controlL, Keysym::p});
    bool fired = support::runUntil(io, [&] { return counts->down == 1; });
    EXPECT_TRUE(setLayout("us"));
    EXPECT_EQ(azerty, "\u2318Q");
    EXPECT_TRUE(fired);
    x11_test::runFor(io, 300ms);
    EXPECT_EQ(layer->description(Shortcut(Key::a, {Modifier::command})), "\u2318A");
}

TEST_F(X11HotKeys, TheApplicationsDeclarationsWorkOnARealPress) {
    ShortcutLayer::install(layer);
    Name startSession("startSession", Shortcut(Key::p, {Modifier::control}));
    EXPECT_EQ(defaults.string("GlobalShortcuts_startSession"),
              R"({"carbonKeyCode":35,"carbonModifiers":4096})");
    int started = 0;
    GlobalShortcuts::onKeyDown(startSession, [&] { ++started; });
    driver.chord({Keysym::controlL, Keysym::p});
    ASSERT_TRUE(support::runUntil(io, [&] { return started == 1; }));
    x11_test::runFor(io, 100ms);
    EXPECT_EQ(started, 1);
}

}  // namespace
