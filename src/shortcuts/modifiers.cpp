#include "shortcuts/modifiers.hpp"

#include <array>
#include <utility>

namespace GlobalShortcuts {
namespace {

constexpr std::array<std::pair<Modifier, std::int64_t>, 5> correspondences{{
    {Modifier::control, CarbonModifier::control},
    {Modifier::option, CarbonModifier::option},
    {Modifier::shift, CarbonModifier::shift},
    {Modifier::command, CarbonModifier::command},
    {Modifier::function, CarbonModifier::function},
}};

}  // namespace

std::int64_t carbonModifiersFromCocoa(ModifierFlags flags) {
    std::int64_t carbon = 0;
    for (auto [modifier, bit] : correspondences) {
        if (flags.contains(modifier)) carbon |= bit;
    }
    return carbon;
}

ModifierFlags cocoaModifiersFromCarbon(std::int64_t carbonModifiers) {
    ModifierFlags flags;
    for (auto [modifier, bit] : correspondences) {
        if (carbonModifiers & bit) flags.insert(modifier);
    }
    return flags;
}

}  // namespace GlobalShortcuts
