#include "shortcuts/special_keys.hpp"

#include <array>

namespace GlobalShortcuts {
namespace {

// Keys without a printable character of their own: the code, the symbol shown for the key and
// the key equivalent a menu item takes (none for the keypad keys). Space shows a text instead.
const std::array<SpecialKey, 53> specialKeys{{
    {36, "\u21A9", "\u21A9"},  // return_
    {51, "\u232B", "\u232B"},  // delete_
    {117, "\u2326", "\u2326"},  // deleteForward
    {119, "\u2198", "\u2198"},  // end
    {53, "\u238B", "\u238B"},  // escape
    {114, "?\u20DD", "?\u20DD"},  // help
    {115, "\u2196", "\u2196"},  // home
    {49, "", " "},  // space
    {48, "\u21E5", "\u21E5"},  // tab
    {116, "\u21DE", "\u21DE"},  // pageUp
    {121, "\u21DF", "\u21DF"},  // pageDown
    {126, "\u2191", "\u2191"},  // upArrow
    {124, "\u2192", "\u2192"},  // rightArrow
    {125, "\u2193", "\u2193"},  // downArrow
    {123, "\u2190", "\u2190"},  // leftArrow
    {122, "F1", "\uF704"},  // f1
    {120, "F2", "\uF705"},  // f2
    {99, "F3", "\uF706"},  // f3
    {118, "F4", "\uF707"},  // f4
    {96, "F5", "\uF708"},  // f5
    {97, "F6", "\uF709"},  // f6
    {98, "F7", "\uF70A"},  // f7
    {100, "F8", "\uF70B"},  // f8
    {101, "F9", "\uF70C"},  // f9
    {109, "F10", "\uF70D"},  // f10
    {103, "F11", "\uF70E"},  // f11
    {111, "F12", "\uF70F"},  // f12
    {105, "F13", "\uF710"},  // f13
    {107, "F14", "\uF711"},  // f14
    {113, "F15", "\uF712"},  // f15
    {106, "F16", "\uF713"},  // f16
    {64, "F17", "\uF714"},  // f17
    {79, "F18", "\uF715"},  // f18
    {80, "F19", "\uF716"},  // f19
    {90, "F20", "\uF717"},  // f20
    {82, "0\u20E3", std::nullopt},  // keypad0
    {83, "1\u20E3", std::nullopt},  // keypad1
    {84, "2\u20E3", std::nullopt},  // keypad2
    {85, "3\u20E3", std::nullopt},  // keypad3
    {86, "4\u20E3", std::nullopt},  // keypad4
    {87, "5\u20E3", std::nullopt},  // keypad5
    {88, "6\u20E3", std::nullopt},  // keypad6
    {89, "7\u20E3", std::nullopt},  // keypad7
    {91, "8\u20E3", std::nullopt},  // keypad8
    {92, "9\u20E3", std::nullopt},  // keypad9
    {71, "\u2612\u20E3", std::nullopt},  // keypadClear
    {65, ".\u20E3", std::nullopt},  // keypadDecimal
    {75, "/\u20E3", std::nullopt},  // keypadDivide
    {76, "\u21A9\u20E3", std::nullopt},  // keypadEnter
    {81, "=\u20E3", std::nullopt},  // keypadEquals
    {78, "-\u20E3", std::nullopt},  // keypadMinus
    {67, "*\u20E3", std::nullopt},  // keypadMultiply
    {69, "+\u20E3", std::nullopt},  // keypadPlus
}};

}  // namespace

const SpecialKey* specialKey(std::int64_t keyCode) {
    for (const auto& key : specialKeys) {
        if (key.keyCode == keyCode) return &key;
    }
    return nullptr;
}

}  // namespace GlobalShortcuts
