#include "platform/hotkeys/kglobalaccel_keys.hpp"

#include <array>
#include <memory>
#include <string>

#include "platform/hotkeys/hot_key_backend.hpp"
#include "platform/hotkeys/xkb_keyboard_layout.hpp"

namespace platform {
namespace {

constexpr std::uint32_t carbonKnown = carbonCommand | carbonShift | carbonOption | carbonControl;

struct NamedKey {
    std::uint32_t carbonKeyCode;
    std::int32_t key;  // with KdeKey::keypad for the keypad's keys
};

// Keys the service names rather than by a character. Help sits where PC keyboards have Insert.
constexpr std::array<NamedKey, 52> namedKeys{{
    {36, 0x01000004},  // Return
    {51, 0x01000003},  // Backspace
    {117, 0x01000007}, // Delete
    {119, 0x01000011}, // End
    {53, 0x01000000},  // Escape
    {114, 0x01000006}, // Insert
    {115, 0x01000010}, // Home
    {49, 0x20},        // Space
    {48, 0x01000001},  // Tab
    {116, 0x01000016}, // PageUp
    {121, 0x01000017}, // PageDown
    {126, 0x01000013}, // Up
    {124, 0x01000014}, // Right
    {125, 0x01000015}, // Down
    {123, 0x01000012}, // Left
    {122, 0x01000030}, {120, 0x01000031}, {99, 0x01000032},  {118, 0x01000033}, {96, 0x01000034},  // F1-F5
    {97, 0x01000035},  {98, 0x01000036},  {100, 0x01000037}, {101, 0x01000038}, {109, 0x01000039}, // F6-F10
    {103, 0x0100003a}, {111, 0x0100003b}, {105, 0x0100003c}, {107, 0x0100003d}, {113, 0x0100003e}, // F11-F15
    {106, 0x0100003f}, {64, 0x01000040},  {79, 0x01000041},  {80, 0x01000042},  {90, 0x01000043},  // F16-F20
    {82, KdeKey::keypad | '0'}, {83, KdeKey::keypad | '1'}, {84, KdeKey::keypad | '2'},
    {85, KdeKey::keypad | '3'}, {86, KdeKey::keypad | '4'}, {87, KdeKey::keypad | '5'},
    {88, KdeKey::keypad | '6'}, {89, KdeKey::keypad | '7'}, {91, KdeKey::keypad | '8'},
    {92, KdeKey::keypad | '9'}, {65, KdeKey::keypad | '.'}, {75, KdeKey::keypad | '/'},
    {67, KdeKey::keypad | '*'}, {69, KdeKey::keypad | '+'}, {78, KdeKey::keypad | '-'},
    {81, KdeKey::keypad | '='}, {76, KdeKey::keypad | 0x01000005},  // keypad Enter
}};

const KeyboardLayout* usLayout() {
    static const std::shared_ptr<KeyboardLayout> layout = []() -> std::shared_ptr<KeyboardLayout> {
        try {
            return XkbKeyboardLayout::fromNames("us");
        } catch (const KeymapError&) {
            return nullptr;
        }
    }();
    return layout.get();
}

// The one code point of a UTF-8 text; none for anything else.
std::optional<char32_t> onlyCodePoint(const std::string& text) {
    if (text.empty()) return std::nullopt;
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    std::size_t length = byte(0) < 0x80 ? 1 : (byte(0) >> 5) == 0x6 ? 2 : (byte(0) >> 4) == 0xE ? 3 : (byte(0) >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || text.size() != length) return std::nullopt;
    char32_t point = length == 1 ? byte(0) : length == 2 ? (byte(0) & 0x1F) : length == 3 ? (byte(0) & 0x0F) : (byte(0) & 0x07);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) >> 6) != 0x2) return std::nullopt;
        point = (point << 6) | (byte(i) & 0x3F);
    }
    return point;
}

// Keys of characters are named by the upper-case form (Latin, Latin-1, Greek and Cyrillic letters).
char32_t upper(char32_t c) {
    if (c >= 'a' && c <= 'z') return c - 0x20;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 0x20;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    return c;
}

std::optional<std::int32_t> characterKey(std::uint32_t carbonKeyCode, const KeyboardLayout* layout) {
    for (const KeyboardLayout* source : {layout, usLayout()}) {
        if (!source) continue;
        auto text = source->character(carbonKeyCode);
        if (!text) continue;
        auto point = onlyCodePoint(*text);
        // Control characters and what the toolkit reserves for named keys are no keys of text.
        if (!point || *point < 0x20 || *point >= 0x01000000) continue;
        return static_cast<std::int32_t>(upper(*point));
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::int32_t> kdeKeyOf(CarbonCombination combination, const KeyboardLayout* layout) {
    if (combination.carbonModifiers & ~carbonKnown) return std::nullopt;
    std::optional<std::int32_t> key;
    for (const auto& named : namedKeys) {
        if (named.carbonKeyCode == combination.carbonKeyCode) key = named.key;
    }
    if (!key) key = characterKey(combination.carbonKeyCode, layout);
    if (!key) return std::nullopt;
    std::int32_t modifiers = 0;
    if (combination.carbonModifiers & carbonShift) modifiers |= KdeKey::shift;
    if (combination.carbonModifiers & carbonControl) modifiers |= KdeKey::control;
    if (combination.carbonModifiers & carbonOption) modifiers |= KdeKey::alt;
    if (combination.carbonModifiers & carbonCommand) modifiers |= KdeKey::meta;
    return *key | modifiers;
}

std::optional<CarbonCombination> carbonCombinationOf(std::int32_t kdeKey, const KeyboardLayout* layout) {
    const std::int32_t key = kdeKey & ~(KdeKey::modifierMask & ~KdeKey::keypad);
    if ((kdeKey & ~KdeKey::modifierMask) == 0) return std::nullopt;
    std::uint32_t modifiers = 0;
    if (kdeKey & KdeKey::shift) modifiers |= carbonShift;
    if (kdeKey & KdeKey::control) modifiers |= carbonControl;
    if (kdeKey & KdeKey::alt) modifiers |= carbonOption;
    if (kdeKey & KdeKey::meta) modifiers |= carbonCommand;
    for (const auto& named : namedKeys) {
        if (named.key == key) return CarbonCombination{named.carbonKeyCode, modifiers};
    }
    if (key & KdeKey::keypad) return std::nullopt;
    // The position whose character it is: in the layout in use first, then in the US layout.
    for (const KeyboardLayout* source : {layout, usLayout()}) {
        if (!source) continue;
        for (std::uint32_t code = 0; code < 128; ++code) {
            bool named = false;
            for (const auto& entry : namedKeys) named = named || entry.carbonKeyCode == code;
            if (named) continue;
            auto text = source->character(code);
            auto point = text ? onlyCodePoint(*text) : std::nullopt;
            if (point && static_cast<std::int32_t>(upper(*point)) == key) return CarbonCombination{code, modifiers};
        }
    }
    return std::nullopt;
}

}  // namespace platform
