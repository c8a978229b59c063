#include "platform/hotkeys/xkb_keyboard_layout.hpp"

#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <utility>

#include "platform/hotkeys/carbon_key_names.hpp"
#include "platform/hotkeys/utf8.hpp"

namespace platform {
namespace {

using Keymap = std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)>;

using Context = std::unique_ptr<xkb_context, decltype(&xkb_context_unref)>;

// Names left empty take xkbcommon's defaults: the XKB_DEFAULT_* environment, else the system's.
Keymap compile(const std::string& layouts, const std::string& variants) {
    Context context(xkb_context_new(XKB_CONTEXT_NO_FLAGS), xkb_context_unref);
    if (!context) return {nullptr, xkb_keymap_unref};
    xkb_rule_names names{};
    names.layout = layouts.empty() ? nullptr : layouts.c_str();
    names.variant = variants.empty() ? nullptr : variants.c_str();
    return {xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS),
            xkb_keymap_unref};
}

// For keymaps that have no ASCII-capable layout at all.
xkb_keymap* usKeymap() {
    static Keymap keymap = compile("us", {});
    return keymap.get();
}

// The keysym a key types without modifiers in `layout`; none when it types several or none.
std::optional<xkb_keysym_t> unmodifiedKeysym(xkb_keymap* keymap, xkb_layout_index_t layout,
                                             std::string_view keyName) {
    xkb_keycode_t key = xkb_keymap_key_by_name(keymap, std::string(keyName).c_str());
    if (key == XKB_KEYCODE_INVALID) return std::nullopt;
    const xkb_keysym_t* syms = nullptr;
    if (xkb_keymap_key_get_syms_by_level(keymap, key, layout, 0, &syms) != 1) return std::nullopt;
    return syms[0];
}

constexpr std::array<std::string_view, 26> letterPositions{
    "AD01", "AD02", "AD03", "AD04", "AD05", "AD06", "AD07", "AD08", "AD09", "AD10",
    "AC01", "AC02", "AC03", "AC04", "AC05", "AC06", "AC07", "AC08", "AC09",
    "AB01", "AB02", "AB03", "AB04", "AB05", "AB06", "AB07"};

// A layout is ASCII-capable when (nearly) all its letter keys type ASCII characters.
bool isAsciiCapable(xkb_keymap* keymap, xkb_layout_index_t layout) {
    int ascii = 0;
    for (auto position : letterPositions) {
        auto sym = unmodifiedKeysym(keymap, layout, position);
        if (!sym) continue;
        auto codePoint = xkb_keysym_to_utf32(*sym);
        if (codePoint > 0x20 && codePoint < 0x7f) ++ascii;
    }
    return ascii >= 20;
}

// Accents of the dead keys, as the key shows them.
char32_t deadKeyAccent(xkb_keysym_t sym) {
    switch (sym) {
    case XKB_KEY_dead_grave: return U'`';
    case XKB_KEY_dead_acute: return U'\u00B4';
    case XKB_KEY_dead_circumflex: return U'^';
    case XKB_KEY_dead_tilde: return U'~';
    case XKB_KEY_dead_macron: return U'\u00AF';
    case XKB_KEY_dead_breve: return U'\u02D8';
    case XKB_KEY_dead_abovedot: return U'\u02D9';
    case XKB_KEY_dead_diaeresis: return U'\u00A8';
    case XKB_KEY_dead_abovering: return U'\u02DA';
    case XKB_KEY_dead_doubleacute: return U'\u02DD';
    case XKB_KEY_dead_caron: return U'\u02C7';
    case XKB_KEY_dead_cedilla: return U'\u00B8';
    case XKB_KEY_dead_ogonek: return U'\u02DB';
    default: return 0;
    }
}

}  // namespace

std::optional<std::string> xkbLayoutCharacter(xkb_keymap* keymap, std::uint32_t currentLayout,
                                              std::int64_t carbonKeyCode) {
    auto keyName = xkbKeyName(carbonKeyCode);
    if (!keyName || !keymap) return std::nullopt;

    std::optional<xkb_layout_index_t> layout;
    xkb_layout_index_t count = xkb_keymap_num_layouts(keymap);
    if (currentLayout < count && isAsciiCapable(keymap, currentLayout)) {
        layout = currentLayout;
    } else {
        for (xkb_layout_index_t index = 0; index < count && !layout; ++index) {
            if (isAsciiCapable(keymap, index)) layout = index;
        }
    }
    if (!layout) {
        keymap = usKeymap();
        if (!keymap) return std::nullopt;
        layout = 0;
    }

    auto sym = unmodifiedKeysym(keymap, *layout, *keyName);
    if (!sym) return std::nullopt;
    char32_t codePoint = xkb_keysym_to_utf32(*sym);
    if (codePoint == 0) codePoint = deadKeyAccent(*sym);
    if (codePoint < 0x20 || (codePoint >= 0x7f && codePoint < 0xa0)) return std::nullopt;
    std::string character;
    appendUtf8(character, codePoint);
    return character;
}

std::shared_ptr<XkbKeyboardLayout> XkbKeyboardLayout::fromNames(const std::string& layouts,
                                                                const std::string& variants,
                                                                std::uint32_t currentLayout) {
    Keymap keymap = compile(layouts, variants);
    if (!keymap) throw KeymapError();
    return std::shared_ptr<XkbKeyboardLayout>(new XkbKeyboardLayout(keymap.release(), currentLayout));
}

std::shared_ptr<XkbKeyboardLayout> XkbKeyboardLayout::fromSessionSettings() { return fromNames({}); }

std::shared_ptr<XkbKeyboardLayout> XkbKeyboardLayout::fromKeymapText(const std::string& text) {
    Context context(xkb_context_new(XKB_CONTEXT_NO_FLAGS), xkb_context_unref);
    if (!context) throw KeymapError();
    Keymap keymap(xkb_keymap_new_from_buffer(context.get(), text.data(), text.size(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                             XKB_KEYMAP_COMPILE_NO_FLAGS),
                  xkb_keymap_unref);
    if (!keymap) throw KeymapError();
    return std::shared_ptr<XkbKeyboardLayout>(new XkbKeyboardLayout(keymap.release(), 0));
}

XkbKeyboardLayout::XkbKeyboardLayout(xkb_keymap* keymap, std::uint32_t currentLayout)
    : keymap_(keymap), currentLayout_(currentLayout) {}

XkbKeyboardLayout::~XkbKeyboardLayout() { xkb_keymap_unref(keymap_); }

std::optional<std::string> XkbKeyboardLayout::character(std::int64_t carbonKeyCode) const {
    return xkbLayoutCharacter(keymap_, currentLayout_, carbonKeyCode);
}

}  // namespace platform
