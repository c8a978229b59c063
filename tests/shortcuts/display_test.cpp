#include <gtest/gtest.h>

#include "platform/hotkeys/carbon_key_names.hpp"
#include "platform/hotkeys/xkb_keyboard_layout.hpp"
#include "shortcuts/global_shortcuts.hpp"

namespace {

using namespace GlobalShortcuts;

std::shared_ptr<platform::XkbKeyboardLayout> layout(const std::string& layouts, std::uint32_t current = 0) {
    try {
        return platform::XkbKeyboardLayout::fromNames(layouts, {}, current);
    } catch (const platform::KeymapError&) {
        return nullptr;
    }
}

#define REQUIRE_LAYOUT(variable, ...)                                                    \
    auto variable = layout(__VA_ARGS__);                                                 \
    if (!variable) GTEST_SKIP() << "no XKB data to compile the keymap " #__VA_ARGS__;

TEST(Description, ModifierSymbolsPrecedeTheKeyInFixedOrder) {
    REQUIRE_LAYOUT(us, "us");
    EXPECT_EQ(Shortcut(Key::p, {Modifier::control}).description(us.get()), "\u2303P");
    EXPECT_EQ(Shortcut(Key::f5, {Modifier::command, Modifier::shift}).description(us.get()), "\u21E7\u2318F5");
    EXPECT_EQ(Shortcut(Key::a, {Modifier::command, Modifier::function, Modifier::shift, Modifier::option,
                                Modifier::control})
                  .description(us.get()),
              "\u2303\u2325\u21E7\u2318\U0001F310\uFE0EA");
}

TEST(Description, SpecialKeysShowTheirSymbols) {
    EXPECT_EQ(Shortcut(Key::space, {Modifier::option}).description(nullptr), "\u2325Space");
    EXPECT_EQ(Shortcut(Key::keypad1, {}).description(nullptr), "1\u20E3");
    EXPECT_EQ(Shortcut(Key::keypadEnter, {}).description(nullptr), "\u21A9\u20E3");
    EXPECT_EQ(Shortcut(Key::f12, {}).description(nullptr), "F12");
    EXPECT_EQ(Shortcut(Key::f20, {}).description(nullptr), "F20");
    EXPECT_EQ(Shortcut(Key::help, {}).description(nullptr), "?\u20DD");
    EXPECT_EQ(Shortcut(Key::return_, {Modifier::command}).description(nullptr), "\u2318\u21A9");
    EXPECT_EQ(Shortcut(Key::upArrow, {}).description(nullptr), "\u2191");
}

TEST(Description, KeysTheLayoutCannotShowGetTheReplacementCharacter) {
    REQUIRE_LAYOUT(us, "us");
    // Right shift types no character; 52 and 1000 are no key at all.
    EXPECT_EQ(Shortcut(Key::rightShift, {}).description(us.get()), "\uFFFD");
    EXPECT_EQ(Shortcut(Key(52), {Modifier::control}).description(us.get()), "\u2303\uFFFD");
    EXPECT_EQ(Shortcut(Key(1000), {}).description(us.get()), "\uFFFD");
    // Key codes outside what a key can be are refused rather than cut to 16 bits (35 + 65536).
    EXPECT_EQ(Shortcut(Key(35 + 65536), {}).description(us.get()), "\uFFFD");
    EXPECT_EQ(Shortcut(Key(-1), {}).description(us.get()), "\uFFFD");
    EXPECT_EQ(Shortcut(Key::p, {}).description(nullptr), "\uFFFD");
}

TEST(MenuKeyEquivalent, SpecialKeysUseTheirEquivalentAndOthersTheLowerCaseCharacter) {
    REQUIRE_LAYOUT(us, "us");
    EXPECT_EQ(Shortcut(Key::space, {Modifier::option}).menuItemKeyEquivalent(us.get()), " ");
    EXPECT_EQ(Shortcut(Key::f1, {}).menuItemKeyEquivalent(us.get()), "\uF704");
    EXPECT_EQ(Shortcut(Key::f12, {}).menuItemKeyEquivalent(us.get()), "\uF70F");
    EXPECT_EQ(Shortcut(Key::f20, {}).menuItemKeyEquivalent(us.get()), "\uF717");
    EXPECT_EQ(Shortcut(Key::keypad1, {}).menuItemKeyEquivalent(us.get()), std::nullopt);
    EXPECT_EQ(Shortcut(Key::p, {Modifier::control}).menuItemKeyEquivalent(us.get()), "p");
    EXPECT_EQ(Shortcut(Key::rightShift, {}).menuItemKeyEquivalent(us.get()), std::nullopt);
}

TEST(LayoutCharacter, FollowsTheKeyPositionInEachLayout) {
    REQUIRE_LAYOUT(us, "us");
    REQUIRE_LAYOUT(fr, "fr");
    REQUIRE_LAYOUT(de, "de");
    EXPECT_EQ(us->character(Key::a.rawValue), "a");
    EXPECT_EQ(us->character(Key::semicolon.rawValue), ";");
    EXPECT_EQ(us->character(Key::backtick.rawValue), "`");

    EXPECT_EQ(fr->character(Key::a.rawValue), "q");
    EXPECT_EQ(fr->character(Key::q.rawValue), "a");
    EXPECT_EQ(fr->character(Key::semicolon.rawValue), "m");
    EXPECT_EQ(fr->character(Key::one.rawValue), "&");
    EXPECT_EQ(fr->character(Key::two.rawValue), "\u00E9");
    EXPECT_EQ(Shortcut(Key::two, {Modifier::control}).description(fr.get()), "\u2303\u00C9");

    EXPECT_EQ(de->character(Key::y.rawValue), "z");
    EXPECT_EQ(de->character(Key::z.rawValue), "y");
    EXPECT_EQ(de->character(Key::minus.rawValue), "\u00DF");
    // A dead key shows its accent.
    EXPECT_EQ(de->character(Key::equal.rawValue), "\u00B4");
}

TEST(LayoutCharacter, NonLatinLayoutsShowTheLatinLayoutOfTheKeyboard) {
    REQUIRE_LAYOUT(ru, "ru");
    REQUIRE_LAYOUT(usRuOnRussian, "us,ru", 1);
    REQUIRE_LAYOUT(frRuOnRussian, "fr,ru", 1);
    // Russian alone: the US letters.
    EXPECT_EQ(ru->character(Key::p.rawValue), "p");
    EXPECT_EQ(Shortcut(Key::p, {Modifier::control}).description(ru.get()), "\u2303P");
    // With a Latin layout beside it, that one.
    EXPECT_EQ(usRuOnRussian->character(Key::p.rawValue), "p");
    EXPECT_EQ(frRuOnRussian->character(Key::a.rawValue), "q");
}

TEST(XkbKeyNames, CarbonCodesMapToKeyPositionsAndBack) {
    EXPECT_EQ(platform::xkbKeyName(35), "AD10");
    EXPECT_EQ(platform::xkbKeyName(46), "AB07");
    EXPECT_EQ(platform::xkbKeyName(0), "AC01");
    EXPECT_EQ(platform::xkbKeyName(126), "UP");
    EXPECT_EQ(platform::xkbKeyName(63), std::nullopt);  // fn has no PC counterpart
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
