#include <gtest/gtest.h>

#include <unordered_set>

#include "shortcuts/global_shortcuts.hpp"

namespace {

using namespace GlobalShortcuts;

TEST(ShortcutValue, ModifiersKeepOnlyTheFiveCarbonBits) {
    Shortcut p(Key::p, {Modifier::control});
    EXPECT_EQ(p.carbonModifiers, 4096);
    EXPECT_EQ(p.key(), Key::p);
    EXPECT_EQ(p.modifiers(), ModifierFlags{Modifier::control});

    // Caps lock and numeric pad are not part of a shortcut.
    EXPECT_EQ(Shortcut(Key::a, {Modifier::command, Modifier::capsLock, Modifier::numericPad}).carbonModifiers,
              256);
    EXPECT_EQ(Shortcut(Key::a, {Modifier::control, Modifier::option}).carbonModifiers, 0x1800);
    EXPECT_EQ(Shortcut(Key::a, {Modifier::function}).carbonModifiers, 0x20000);

    Shortcut masked(0, 0xFFFFFFFF);
    EXPECT_EQ(masked.carbonModifiers, 0x1000 | 0x800 | 0x200 | 0x100 | 0x20000);
    EXPECT_EQ(cocoaModifiersFromCarbon(0x1800).rawValue(), 0xC0000u);
}

TEST(ShortcutValue, EventsGiveShortcutsWithoutTheFunctionFlag) {
    auto upArrow =
        Shortcut::fromEvent({KeyEvent::Type::keyDown, 126, {Modifier::function, Modifier::command}});
    ASSERT_TRUE(upArrow);
    EXPECT_EQ(upArrow->carbonKeyCode, 126);
    EXPECT_EQ(upArrow->carbonModifiers, 256);
    EXPECT_TRUE(Shortcut::fromEvent({KeyEvent::Type::keyUp, 35, {Modifier::control}}));
    EXPECT_FALSE(Shortcut::fromEvent({KeyEvent::Type::other, 35, {Modifier::control}}));
}

TEST(ShortcutJson, EncodesByteExactAndDecodesWithoutNormalising) {
    EXPECT_EQ(Shortcut(Key::m, {Modifier::control}).toJson(),
              R"({"carbonKeyCode":46,"carbonModifiers":4096})");

    auto reordered = Shortcut::fromJson(R"({ "carbonModifiers": 4096, "carbonKeyCode": 35 })");
    ASSERT_TRUE(reordered);
    EXPECT_EQ(*reordered, Shortcut(Key::p, {Modifier::control}));

    auto foreignBits = Shortcut::fromJson(R"({"carbonKeyCode":35,"carbonModifiers":4097})");
    ASSERT_TRUE(foreignBits);
    EXPECT_EQ(foreignBits->carbonModifiers, 4097);
    EXPECT_NE(*foreignBits, Shortcut(Key::p, {Modifier::control}));

    EXPECT_TRUE(Shortcut::fromJson(R"({"carbonKeyCode":35.0,"carbonModifiers":4096})"));
}

TEST(ShortcutJson, AnythingButTwoIntegersDecodesToNothing) {
    for (const char* text : {"", "false", "35", "not json", "[35,4096]", R"({"carbonKeyCode":35})",
                             R"({"carbonKeyCode":"35","carbonModifiers":4096})",
                             R"({"carbonKeyCode":35.5,"carbonModifiers":4096})",
                             R"({"carbonKeyCode":35,"carbonModifiers":null})",
                             R"({"carbonKeyCode":18446744073709551615,"carbonModifiers":0})",
                             R"({"carbonKeyCode":35,"carbonModifiers":4096)"}) {
        EXPECT_FALSE(Shortcut::fromJson(text)) << text;
    }
}

TEST(ShortcutValue, ShortcutsCompareByBothFieldsAndNamesByTheirTextAlone) {
    std::unordered_set<Shortcut> set{Shortcut(35, 4096), Shortcut(35, 4096), Shortcut(35, 256),
                                     Shortcut(46, 4096)};
    EXPECT_EQ(set.size(), 3u);

    Name withDefault("startSession", Shortcut(Key::p, {Modifier::control}));
    EXPECT_EQ(withDefault, Name("startSession"));
    EXPECT_EQ(std::hash<Name>{}(withDefault), std::hash<Name>{}(Name("startSession")));
    EXPECT_NE(withDefault, Name("endSession"));
}

}  // namespace
