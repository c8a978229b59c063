#pragma once
// The two modifier vocabularies of the layer: event modifier flags (what key events and menus
// carry) and Carbon modifier bits (what hot keys and the stored shortcuts use). Only control,
// option, shift, command and function pass between them. The Carbon function bit has the value
// of the event flags' shift bit, so the two are never kept in one variable.

#include <cstdint>
#include <initializer_list>

namespace GlobalShortcuts {

// Event modifier flags, one bit each.
enum class Modifier : std::uint64_t {
    capsLock = 0x10000,
    shift = 0x20000,
    control = 0x40000,
    option = 0x80000,
    command = 0x100000,
    numericPad = 0x200000,
    help = 0x400000,
    function = 0x800000,
};

class ModifierFlags {
public:
    constexpr ModifierFlags() = default;
    constexpr ModifierFlags(std::initializer_list<Modifier> modifiers) {
        for (auto modifier : modifiers) insert(modifier);
    }
    constexpr explicit ModifierFlags(std::uint64_t rawValue) : rawValue_(rawValue) {}

    constexpr std::uint64_t rawValue() const { return rawValue_; }
    constexpr bool contains(Modifier modifier) const {
        return (rawValue_ & static_cast<std::uint64_t>(modifier)) != 0;
    }
    constexpr bool empty() const { return rawValue_ == 0; }
    constexpr void insert(Modifier modifier) { rawValue_ |= static_cast<std::uint64_t>(modifier); }
    constexpr void remove(Modifier modifier) { rawValue_ &= ~static_cast<std::uint64_t>(modifier); }

    friend constexpr bool operator==(ModifierFlags, ModifierFlags) = default;
    friend constexpr ModifierFlags operator|(ModifierFlags a, ModifierFlags b) {
        return ModifierFlags(a.rawValue_ | b.rawValue_);
    }

private:
    std::uint64_t rawValue_ = 0;
};

// Carbon modifier bits.
namespace CarbonModifier {
inline constexpr std::int64_t command = 0x100;
inline constexpr std::int64_t shift = 0x200;
inline constexpr std::int64_t option = 0x800;
inline constexpr std::int64_t control = 0x1000;
inline constexpr std::int64_t function = 0x20000;
inline constexpr std::int64_t all = command | shift | option | control | function;
}  // namespace CarbonModifier

// The Carbon bit of each of control, option, shift, command and function present; every other
// flag is dropped.
std::int64_t carbonModifiersFromCocoa(ModifierFlags flags);
// The flag of each of the five Carbon bits present; every other bit is dropped.
ModifierFlags cocoaModifiersFromCarbon(std::int64_t carbonModifiers);

// A key event as the layer sees it: its type, the Carbon code of its key and its modifier flags.
struct KeyEvent {
    enum class Type { keyDown, keyUp, other };
    Type type = Type::other;
    std::int64_t keyCode = 0;
    ModifierFlags modifierFlags;
};

}  // namespace GlobalShortcuts
