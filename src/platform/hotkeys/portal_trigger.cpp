#include "platform/hotkeys/portal_trigger.hpp"

#include <xkbcommon/xkbcommon.h>

#include <memory>

#include "platform/hotkeys/carbon_key_names.hpp"
#include "platform/hotkeys/hot_key_backend.hpp"

namespace platform {
namespace {

using Keymap = std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)>;

xkb_keymap* usKeymap() {
    static Keymap keymap = [] {
        std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS),
                                                                           xkb_context_unref);
        xkb_rule_names names{};
        names.layout = "us";
        return Keymap(context ? xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr,
                      xkb_keymap_unref);
    }();
    return keymap.get();
}

}  // namespace

std::optional<std::string> portalTrigger(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers) {
    constexpr std::uint32_t known = carbonCommand | carbonShift | carbonOption | carbonControl;
    if (carbonModifiers & ~known) return std::nullopt;
    auto name = xkbKeyName(carbonKeyCode);
    xkb_keymap* keymap = usKeymap();
    if (!name || !keymap) return std::nullopt;
    xkb_keycode_t key = xkb_keymap_key_by_name(keymap, std::string(*name).c_str());
    if (key == XKB_KEYCODE_INVALID) return std::nullopt;
    const xkb_keysym_t* syms = nullptr;
    if (xkb_keymap_key_get_syms_by_level(keymap, key, 0, 0, &syms) != 1) return std::nullopt;
    char keysym[64];
    if (xkb_keysym_get_name(syms[0], keysym, sizeof keysym) <= 0) return std::nullopt;

    std::string trigger;
    if (carbonModifiers & carbonControl) trigger += "CTRL+";
    if (carbonModifiers & carbonOption) trigger += "ALT+";
    if (carbonModifiers & carbonShift) trigger += "SHIFT+";
    if (carbonModifiers & carbonCommand) trigger += "LOGO+";
    return trigger + keysym;
}

}  // namespace platform
