#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "platform/hotkeys/carbon_key_names.hpp"
#include "platform/hotkeys/session_keyboard_layout.hpp"
#include "platform/hotkeys/xcb_hot_key_backend.hpp"
#include "platform/hotkeys/xkb_keyboard_layout.hpp"
#include "support/backend_environment.hpp"
#include "shortcuts/global_shortcuts.hpp"

namespace {

using namespace GlobalShortcuts;

// Keymaps compiled from layout names; a test skips when the machine has no XKB data for them.
class Layouts : public ::testing::Test {
protected:
    std::shared_ptr<platform::XkbKeyboardLayout> us = load("us"), fr = load("fr"), de = load("de"),
                                                 ru = load("ru"), usRu = load("us,ru", 1),
                                                 frRu = load("fr,ru", 1);
    void SetUp() override {
        if (!us || !fr || !de || !ru || !usRu || !frRu)
            GTEST_SKIP() << "no XKB data to compile the test keymaps";
    }

private:
    static std::shared_ptr<platform::XkbKeyboardLayout> load(const std::string& names,
                                                             std::uint32_t current = 0) {
        try {
            return platform::XkbKeyboardLayout::fromNames(names, {}, current);
        } catch (const platform::KeymapError&) {
            return nullptr;
        }
    }
};

TEST_F(Layouts, DescriptionsPutTheModifiersInFixedOrderBeforeTheKey) {
    struct Case {
        Shortcut shortcut;
        const char* description;
    };
    for (const auto& c : {
             Case{Shortcut(Key::p, {Modifier::control}), "\u2303P"},
             Case{Shortcut(Key::f5, {Modifier::command, Modifier::shift}), "\u21E7\u2318F5"},
             Case{Shortcut(Key::a, {Modifier::command, Modifier::function, Modifier::shift, Modifier::option,
                                    Modifier::control}),
                  "\u2303\u2325\u21E7\u2318\U0001F310\uFE0EA"},
             Case{Shortcut(Key::space, {Modifier::option}), "\u2325Space"},
             Case{Shortcut(Key::keypad1, {}), "1\u20E3"},
             Case{Shortcut(Key::keypadEnter, {}), "\u21A9\u20E3"},
             Case{Shortcut(Key::f20, {}), "F20"},
             Case{Shortcut(Key::help, {}), "?\u20DD"},
             Case{Shortcut(Key::return_, {Modifier::command}), "\u2318\u21A9"},
             Case{Shortcut(Key::upArrow, {}), "\u2191"},
             // Right shift types no character; 52 and 1000 are no key at all.
             Case{Shortcut(Key::rightShift, {}), "\uFFFD"},
             Case{Shortcut(Key(52), {Modifier::control}), "\u2303\uFFFD"},
             Case{Shortcut(Key(1000), {}), "\uFFFD"},
             // Codes outside what a key can be are refused rather than cut to 16 bits (35 + 65536).
             Case{Shortcut(Key(35 + 65536), {}), "\uFFFD"},
             Case{Shortcut(Key(-1), {}), "\uFFFD"},
         }) {
        EXPECT_EQ(c.shortcut.description(us.get()), c.description) << c.description;
    }
    // Without a layout only the keys with a symbol of their own can be shown.
    EXPECT_EQ(Shortcut(Key::f12, {}).description(nullptr), "F12");
    EXPECT_EQ(Shortcut(Key::p, {}).description(nullptr), "\uFFFD");
}

TEST_F(Layouts, MenuKeyEquivalentsAreTheSpecialKeysOwnOrTheLowerCaseCharacter) {
    EXPECT_EQ(Shortcut(Key::space, {Modifier::option}).menuItemKeyEquivalent(us.get()), " ");
    EXPECT_EQ(Shortcut(Key::f1, {}).menuItemKeyEquivalent(us.get()), "\uF704");
    EXPECT_EQ(Shortcut(Key::f20, {}).menuItemKeyEquivalent(us.get()), "\uF717");
    EXPECT_EQ(Shortcut(Key::p, {Modifier::control}).menuItemKeyEquivalent(us.get()), "p");
    EXPECT_EQ(Shortcut(Key::keypad1, {}).menuItemKeyEquivalent(us.get()), std::nullopt);
    EXPECT_EQ(Shortcut(Key::rightShift, {}).menuItemKeyEquivalent(us.get()), std::nullopt);
}

TEST_F(Layouts, CharactersFollowTheKeyPositionInEachLayout) {
    struct Case {
        const platform::XkbKeyboardLayout* layout;
        Key key;
        const char* character;
    };
    for (const auto& c : {
             Case{us.get(), Key::semicolon, ";"},
             Case{us.get(), Key::backtick, "`"},
             Case{fr.get(), Key::a, "q"},
             Case{fr.get(), Key::q, "a"},
             Case{fr.get(), Key::semicolon, "m"},
             Case{fr.get(), Key::one, "&"},
             Case{fr.get(), Key::two, "\u00E9"},
             Case{de.get(), Key::y, "z"},
             Case{de.get(), Key::z, "y"},
             Case{de.get(), Key::minus, "\u00DF"},
             Case{de.get(), Key::equal, "\u00B4"},  // a dead key shows its accent
             // A non-Latin layout shows the Latin layout beside it, or the US letters.
             Case{ru.get(), Key::p, "p"},
             Case{usRu.get(), Key::p, "p"},
             Case{frRu.get(), Key::a, "q"},
         }) {
        EXPECT_EQ(c.layout->character(c.key.rawValue), c.character) << c.character;
    }
    EXPECT_EQ(Shortcut(Key::two, {Modifier::control}).description(fr.get()), "\u2303\u00C9");
    EXPECT_EQ(Shortcut(Key::p, {Modifier::control}).description(ru.get()), "\u2303P");
}

// Sets (or with null, unsets) an environment variable for the scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* before = std::getenv(name)) before_ = before;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedVariable() { before_ ? setenv(name_, before_->c_str(), 1) : unsetenv(name_); }
    void set(const char* value) { value ? setenv(name_, value, 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> before_;
};

// Without an X server the keys are named from the session's layout: the compositor's keymap
// where one answers, else the XKB_DEFAULT_* settings, else the system's default (US), as
// xkbcommon reads them. A compositor that never answers holds nobody up.
TEST(SessionLayout, WithoutAnXServerTheSessionsSettingsNameTheKeys) {
    ScopedVariable layoutName("XKB_DEFAULT_LAYOUT", "fr");
    ScopedVariable wayland("WAYLAND_DISPLAY", nullptr);
    ScopedVariable display("DISPLAY", nullptr);
    auto fr = platform::readSessionKeyboardLayout();
    if (!fr) GTEST_SKIP() << "no XKB data to compile keymaps";
    EXPECT_EQ(fr->character(Key::a.rawValue), "q");
    EXPECT_EQ(Shortcut(Key::m, {Modifier::control}).description(fr.get()), "\u2303,");

    // The X11 backend without a display names its keys from the same.
    boost::asio::io_context io;
    auto x11 = platform::XcbHotKeyBackend::create(io.get_executor(), io.get_executor(), {}, false);
    EXPECT_FALSE(x11->isConnected());
    EXPECT_EQ(Shortcut(Key::a, {Modifier::control}).description(x11->keyboardLayout().get()), "\u2303Q");

    layoutName.set("ru");
    EXPECT_EQ(platform::readSessionKeyboardLayout()->character(Key::p.rawValue), "p") << "the US letters";
    layoutName.set(nullptr);
    EXPECT_EQ(Shortcut(Key::a, {Modifier::control}).description(platform::readSessionKeyboardLayout().get()),
              "\u2303A");

    // A socket where nothing listens, and one where the compositor accepts and says nothing.
    support::TemporaryFolder folder;
    const auto silent = (folder.path() / "silent").string();
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", silent.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    for (const auto& socket : {(folder.path() / "nobody").string(), silent}) {
        wayland.set(socket.c_str());
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(platform::compositorKeymap(std::chrono::milliseconds(200)), std::nullopt) << socket;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << socket;
    }
    ::close(listener);
}

// The named keys' codes, checked against the key positions the X server knows them by; codes that
// are easy to get wrong are not in alphabetical or numeric order.
TEST(XkbKeyNames, CarbonCodesMapToKeyPositionsAndBack) {
    struct Case {
        Key key;
        const char* position;
    };
    for (const auto& c :
         {Case{Key::a, "AC01"}, Case{Key::s, "AC02"}, Case{Key::d, "AC03"}, Case{Key::p, "AD10"},
          Case{Key::m, "AB07"}, Case{Key::five, "AE05"}, Case{Key::six, "AE06"}, Case{Key::keypad8, "KP8"},
          Case{Key::f17, "FK17"}, Case{Key::f20, "FK20"}, Case{Key::return_, "RTRN"},
          Case{Key::delete_, "BKSP"}, Case{Key::rightShift, "RTSH"}, Case{Key::keypadClear, "NMLK"},
          Case{Key::volumeUp, "VOL+"}, Case{Key::help, "INS"}, Case{Key::upArrow, "UP"}}) {
        EXPECT_EQ(platform::xkbKeyName(c.key.rawValue), c.position) << c.position;
    }
    EXPECT_EQ(platform::xkbKeyName(Key::function.rawValue), std::nullopt);  // fn has no PC counterpart
    EXPECT_EQ(Key::function.rawValue, 63);
    EXPECT_EQ(platform::xkbKeyName(-1), std::nullopt);
    EXPECT_EQ(platform::xkbKeyName(1 << 20), std::nullopt);
    for (std::int64_t code = 0; code < 128; ++code) {
        if (auto name = platform::xkbKeyName(code)) {
            EXPECT_EQ(platform::carbonKeyCodeForXkbName(*name), code);
        }
    }
}

TEST(Texts, EveryKeyHasAnEnglishTextAndUnknownKeysFallBack) {
    for (const char* key : {"record_shortcut", "press_shortcut", "keyboard_shortcut_used_by_menu_item",
                            "keyboard_shortcut_disallowed", "keyboard_shortcut_used_by_system",
                            "keyboard_shortcuts_can_be_changed", "ok", "force_use_shortcut", "space_key"}) {
        EXPECT_FALSE(localized(key).empty()) << key;
        EXPECT_NE(localized(key), key) << key;
    }
    EXPECT_EQ(localized("no_such_text"), "no_such_text");
    auto menu = localized("keyboard_shortcut_used_by_menu_item", "Start Call");
    EXPECT_NE(menu.find("Start Call"), std::string::npos);
    EXPECT_EQ(menu.find("%1"), std::string::npos);
}

}  // namespace
