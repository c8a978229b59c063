#include "shortcuts/shortcut.hpp"

#include <clocale>
#include <cmath>
#include <cwctype>
#include <limits>
#include <locale.h>

#include "platform/hotkeys/keyboard_layout.hpp"
#include "platform/hotkeys/utf8.hpp"
#include "platform/json/json.hpp"
#include "shortcuts/shortcut_layer.hpp"
#include "shortcuts/special_keys.hpp"
#include "shortcuts/texts.hpp"

namespace GlobalShortcuts {
namespace {

constexpr std::string_view replacementCharacter = "\uFFFD";

std::optional<std::int64_t> integerMember(const platform::json::Object& object, const char* name) {
    auto found = object.find(name);
    if (found == object.end()) return std::nullopt;
    const auto& member = found->value();
    if (member.is_int64()) return member.get_int64();
    if (member.is_uint64()) {
        auto value = member.get_uint64();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(value);
    }
    if (member.is_double()) {
        // 35.0 is the integer 35; 35.5 is not an integer.
        double value = member.get_double();
        if (std::trunc(value) != value || value < -9.2e18 || value > 9.2e18) return std::nullopt;
        return static_cast<std::int64_t>(value);
    }
    return std::nullopt;
}

std::u32string decodeUtf8(std::string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        int length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        char32_t c = length == 1 ? byte : byte & (0xFF >> (length + 1));
        for (int k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        out += c;
        i += length;
    }
    return out;
}

std::string encodeUtf8(std::u32string_view text) {
    std::string out;
    for (char32_t c : text) platform::appendUtf8(out, c);
    return out;
}

// Case mapping of the whole Unicode range, whatever the process locale is.
locale_t unicodeLocale() {
    static locale_t locale = [] {
        locale_t found = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
        return found ? found : newlocale(LC_CTYPE_MASK, "C", nullptr);
    }();
    return locale;
}

// First letter of each word upper case, the rest lower case.
std::string capitalized(std::string_view text) {
    std::u32string characters = decodeUtf8(text);
    locale_t locale = unicodeLocale();
    bool wordStart = true;
    for (char32_t& c : characters) {
        auto wide = static_cast<wint_t>(c);
        bool space = locale ? iswspace_l(wide, locale) : c == U' ';
        if (space) {
            wordStart = true;
            continue;
        }
        if (locale) c = static_cast<char32_t>(wordStart ? towupper_l(wide, locale) : towlower_l(wide, locale));
        wordStart = false;
    }
    return encodeUtf8(characters);
}

}  // namespace

Shortcut::Shortcut(Key key, ModifierFlags modifiers)
    : carbonKeyCode(key.rawValue), carbonModifiers(carbonModifiersFromCocoa(modifiers)) {}

Shortcut::Shortcut(std::int64_t carbonKeyCode, std::int64_t carbonModifiers)
    : carbonKeyCode(carbonKeyCode), carbonModifiers(carbonModifiers & CarbonModifier::all) {}

std::optional<Shortcut> Shortcut::fromEvent(const KeyEvent& event) {
    if (event.type != KeyEvent::Type::keyDown && event.type != KeyEvent::Type::keyUp) return std::nullopt;
    ModifierFlags flags = event.modifierFlags;
    flags.remove(Modifier::function);
    return Shortcut(Key(event.keyCode), flags);
}

std::string Shortcut::toJson() const {
    return "{\"carbonKeyCode\":" + std::to_string(carbonKeyCode) +
           ",\"carbonModifiers\":" + std::to_string(carbonModifiers) + "}";
}

std::optional<Shortcut> Shortcut::fromJson(std::string_view json) {
    auto parsed = platform::json::read(json);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    auto keyCode = integerMember(parsed->get_object(), "carbonKeyCode");
    auto modifiers = integerMember(parsed->get_object(), "carbonModifiers");
    if (!keyCode || !modifiers) return std::nullopt;
    Shortcut shortcut(*keyCode, 0);
    shortcut.carbonModifiers = *modifiers;
    return shortcut;
}

std::string modifierSymbols(ModifierFlags flags) {
    std::string symbols;
    if (flags.contains(Modifier::control)) symbols += "\u2303";
    if (flags.contains(Modifier::option)) symbols += "\u2325";
    if (flags.contains(Modifier::shift)) symbols += "\u21E7";
    if (flags.contains(Modifier::command)) symbols += "\u2318";
    if (flags.contains(Modifier::function)) symbols += "\U0001F310\uFE0E";
    return symbols;
}

std::optional<std::string> layoutCharacter(const platform::KeyboardLayout* layout, std::int64_t keyCode) {
    if (specialKey(keyCode) || !layout || keyCode < 0 || keyCode > 0xFFFF) return std::nullopt;
    auto character = layout->character(keyCode);
    if (!character || character->empty() || decodeUtf8(*character).size() != 1) return std::nullopt;
    return character;
}

std::string Shortcut::description(const platform::KeyboardLayout* layout) const {
    std::string text = modifierSymbols(modifiers());
    if (const SpecialKey* special = specialKey(carbonKeyCode)) {
        text += special->keyCode == Key::space.rawValue ? capitalized(localized("space_key"))
                                                        : std::string(special->displaySymbol);
    } else if (auto character = layoutCharacter(layout, carbonKeyCode)) {
        text += capitalized(*character);
    } else {
        text += replacementCharacter;
    }
    return text;
}

std::string Shortcut::description() const {
    auto layer = ShortcutLayer::shared();
    return description(layer ? layer->keyboardLayout() : nullptr);
}

std::optional<std::string> Shortcut::menuItemKeyEquivalent(const platform::KeyboardLayout* layout) const {
    if (const SpecialKey* special = specialKey(carbonKeyCode)) {
        if (!special->menuKeyEquivalent) return std::nullopt;
        return std::string(*special->menuKeyEquivalent);
    }
    return layoutCharacter(layout, carbonKeyCode);
}

}  // namespace GlobalShortcuts
