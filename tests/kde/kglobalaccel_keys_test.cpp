// Combinations as KDE's shortcut service names them, from key positions and back, on the layouts
// users have; and which desktops are KDE's.

#include <gtest/gtest.h>

#include "platform/hotkeys/kglobalaccel_hot_key_backend.hpp"
#include "platform/hotkeys/kglobalaccel_keys.hpp"
#include "platform/hotkeys/xkb_keyboard_layout.hpp"
#include "shortcuts/key.hpp"
#include "shortcuts/modifiers.hpp"

namespace kde_test {
namespace {

using platform::CarbonCombination;
using platform::carbonCombinationOf;
using platform::kdeKeyOf;
namespace KdeKey = platform::KdeKey;
namespace Carbon = GlobalShortcuts::CarbonModifier;

constexpr std::uint32_t code(const GlobalShortcuts::Key& key) { return static_cast<std::uint32_t>(key.rawValue); }
constexpr std::uint32_t bits(std::int64_t carbon) { return static_cast<std::uint32_t>(carbon); }

TEST(KdeKeys, LettersAndModifiersOnTheUsLayout) {
    auto us = platform::XkbKeyboardLayout::fromNames("us");
    EXPECT_EQ(kdeKeyOf({code(GlobalShortcuts::Key::p), bits(Carbon::control)}, us.get()), KdeKey::control | 'P');
    EXPECT_EQ(kdeKeyOf({code(GlobalShortcuts::Key::a), bits(Carbon::control | Carbon::option | Carbon::shift | Carbon::command)},
                       us.get()),
              KdeKey::control | KdeKey::alt | KdeKey::shift | KdeKey::meta | 'A');
    EXPECT_EQ(carbonCombinationOf(KdeKey::control | KdeKey::alt | 'K', us.get()),
              (CarbonCombination{code(GlobalShortcuts::Key::k), bits(Carbon::control | Carbon::option)}));
    // Without a layout the US layout names the keys.
    EXPECT_EQ(kdeKeyOf({code(GlobalShortcuts::Key::m), bits(Carbon::control)}, nullptr), KdeKey::control | 'M');
    EXPECT_EQ(carbonCombinationOf(KdeKey::meta | ',', nullptr),
              (CarbonCombination{code(GlobalShortcuts::Key::comma), bits(Carbon::command)}));
}

TEST(KdeKeys, NamedAndKeypadKeysGoBothWays) {
    auto us = platform::XkbKeyboardLayout::fromNames("us");
    const std::pair<GlobalShortcuts::Key, std::int32_t> keys[] = {
        {GlobalShortcuts::Key::f5, 0x01000034},         {GlobalShortcuts::Key::return_, 0x01000004},
        {GlobalShortcuts::Key::space, 0x20},            {GlobalShortcuts::Key::escape, 0x01000000},
        {GlobalShortcuts::Key::keypad1, KdeKey::keypad | '1'}, {GlobalShortcuts::Key::keypadEnter, KdeKey::keypad | 0x01000005},
    };
    for (const auto& [key, kde] : keys) {
        SCOPED_TRACE(key.rawValue);
        EXPECT_EQ(kdeKeyOf({code(key), bits(Carbon::shift)}, us.get()), kde | KdeKey::shift);
        EXPECT_EQ(carbonCombinationOf(kde | KdeKey::shift, us.get()), (CarbonCombination{code(key), bits(Carbon::shift)}));
    }
}

TEST(KdeKeys, WhatTheServiceCannotNameIsNone) {
    auto us = platform::XkbKeyboardLayout::fromNames("us");
    EXPECT_FALSE(kdeKeyOf({code(GlobalShortcuts::Key::p), bits(Carbon::control | Carbon::function)}, us.get()))
        << "the service has no function modifier";
    EXPECT_FALSE(kdeKeyOf({100000, 0}, us.get()));
    EXPECT_FALSE(carbonCombinationOf(0, us.get()));
    EXPECT_FALSE(carbonCombinationOf(KdeKey::control, us.get())) << "modifiers without a key";
    EXPECT_FALSE(carbonCombinationOf(KdeKey::control | 0x01000099, us.get())) << "a named key with no position";
}

// The service turns a character back into the key that types it in the layout in use, so the
// character is the one the layout prints where the application's key position is.
TEST(KdeKeys, OtherLayoutsNameTheirOwnCharacters) {
    auto fr = platform::XkbKeyboardLayout::fromNames("fr");
    auto de = platform::XkbKeyboardLayout::fromNames("de");
    EXPECT_EQ(kdeKeyOf({code(GlobalShortcuts::Key::q), bits(Carbon::control)}, fr.get()), KdeKey::control | 'A');
    EXPECT_EQ(carbonCombinationOf(KdeKey::control | 'A', fr.get()),
              (CarbonCombination{code(GlobalShortcuts::Key::q), bits(Carbon::control)}));
    EXPECT_EQ(kdeKeyOf({code(GlobalShortcuts::Key::y), bits(Carbon::control)}, de.get()), KdeKey::control | 'Z');
    EXPECT_EQ(carbonCombinationOf(KdeKey::control | 0xDC, de.get()),  // Ü
              (CarbonCombination{code(GlobalShortcuts::Key::leftBracket), bits(Carbon::control)}));
    // Cyrillic layouts are read through their Latin companion, as the display strings are.
    auto ru = platform::XkbKeyboardLayout::fromNames("us,ru", "", 1);
    EXPECT_EQ(kdeKeyOf({code(GlobalShortcuts::Key::p), bits(Carbon::control)}, ru.get()), KdeKey::control | 'P');
}

TEST(KdeDesktop, IsNamedInTheListOfCurrentDesktops) {
    EXPECT_TRUE(platform::namesKdeDesktop("KDE"));
    EXPECT_TRUE(platform::namesKdeDesktop("X-Custom:KDE"));
    EXPECT_TRUE(platform::namesKdeDesktop("kde"));
    EXPECT_FALSE(platform::namesKdeDesktop("ubuntu:GNOME"));
    EXPECT_FALSE(platform::namesKdeDesktop("KDEX"));
    EXPECT_FALSE(platform::namesKdeDesktop(""));
    EXPECT_FALSE(platform::namesKdeDesktop(nullptr));
}

}  // namespace
}  // namespace kde_test
