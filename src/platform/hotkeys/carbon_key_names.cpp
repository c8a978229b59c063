#include "platform/hotkeys/carbon_key_names.hpp"

#include <array>
#include <utility>

namespace platform {
namespace {

struct KeyPosition {
    std::int64_t carbonKeyCode;
    std::string_view xkbName;
};

// Letters, digits and punctuation by their place on the main block; keys that Apple keyboards
// put where PC keyboards have others (Help on Insert, Clear on Num Lock) keep the place.
constexpr std::array positions{
    KeyPosition{0, "AC01"},   KeyPosition{1, "AC02"},   KeyPosition{2, "AC03"},
    KeyPosition{3, "AC04"},   KeyPosition{4, "AC06"},   KeyPosition{5, "AC05"},
    KeyPosition{6, "AB01"},   KeyPosition{7, "AB02"},   KeyPosition{8, "AB03"},
    KeyPosition{9, "AB04"},   KeyPosition{10, "LSGT"},  KeyPosition{11, "AB05"},
    KeyPosition{12, "AD01"},  KeyPosition{13, "AD02"},  KeyPosition{14, "AD03"},
    KeyPosition{15, "AD04"},  KeyPosition{16, "AD06"},  KeyPosition{17, "AD05"},
    KeyPosition{18, "AE01"},  KeyPosition{19, "AE02"},  KeyPosition{20, "AE03"},
    KeyPosition{21, "AE04"},  KeyPosition{22, "AE06"},  KeyPosition{23, "AE05"},
    KeyPosition{24, "AE12"},  KeyPosition{25, "AE09"},  KeyPosition{26, "AE07"},
    KeyPosition{27, "AE11"},  KeyPosition{28, "AE08"},  KeyPosition{29, "AE10"},
    KeyPosition{30, "AD12"},  KeyPosition{31, "AD09"},  KeyPosition{32, "AD07"},
    KeyPosition{33, "AD11"},  KeyPosition{34, "AD08"},  KeyPosition{35, "AD10"},
    KeyPosition{36, "RTRN"},  KeyPosition{37, "AC09"},  KeyPosition{38, "AC07"},
    KeyPosition{39, "AC11"},  KeyPosition{40, "AC08"},  KeyPosition{41, "AC10"},
    KeyPosition{42, "BKSL"},  KeyPosition{43, "AB08"},  KeyPosition{44, "AB10"},
    KeyPosition{45, "AB06"},  KeyPosition{46, "AB07"},  KeyPosition{47, "AB09"},
    KeyPosition{48, "TAB"},   KeyPosition{49, "SPCE"},  KeyPosition{50, "TLDE"},
    KeyPosition{51, "BKSP"},  KeyPosition{53, "ESC"},   KeyPosition{54, "RWIN"},
    KeyPosition{55, "LWIN"},  KeyPosition{56, "LFSH"},  KeyPosition{57, "CAPS"},
    KeyPosition{58, "LALT"},  KeyPosition{59, "LCTL"},  KeyPosition{60, "RTSH"},
    KeyPosition{61, "RALT"},  KeyPosition{62, "RCTL"},  KeyPosition{64, "FK17"},
    KeyPosition{65, "KPDL"},  KeyPosition{67, "KPMU"},  KeyPosition{69, "KPAD"},
    KeyPosition{71, "NMLK"},  KeyPosition{72, "VOL+"},  KeyPosition{73, "VOL-"},
    KeyPosition{74, "MUTE"},  KeyPosition{75, "KPDV"},  KeyPosition{76, "KPEN"},
    KeyPosition{78, "KPSU"},  KeyPosition{79, "FK18"},  KeyPosition{80, "FK19"},
    KeyPosition{81, "KPEQ"},  KeyPosition{82, "KP0"},   KeyPosition{83, "KP1"},
    KeyPosition{84, "KP2"},   KeyPosition{85, "KP3"},   KeyPosition{86, "KP4"},
    KeyPosition{87, "KP5"},   KeyPosition{88, "KP6"},   KeyPosition{89, "KP7"},
    KeyPosition{90, "FK20"},  KeyPosition{91, "KP8"},   KeyPosition{92, "KP9"},
    KeyPosition{93, "AE13"},  KeyPosition{94, "AB11"},  KeyPosition{96, "FK05"},
    KeyPosition{97, "FK06"},  KeyPosition{98, "FK07"},  KeyPosition{99, "FK03"},
    KeyPosition{100, "FK08"}, KeyPosition{101, "FK09"}, KeyPosition{103, "FK11"},
    KeyPosition{105, "FK13"}, KeyPosition{106, "FK16"}, KeyPosition{107, "FK14"},
    KeyPosition{109, "FK10"}, KeyPosition{110, "COMP"}, KeyPosition{111, "FK12"},
    KeyPosition{113, "FK15"}, KeyPosition{114, "INS"},  KeyPosition{115, "HOME"},
    KeyPosition{116, "PGUP"}, KeyPosition{117, "DELE"}, KeyPosition{118, "FK04"},
    KeyPosition{119, "END"},  KeyPosition{120, "FK02"}, KeyPosition{121, "PGDN"},
    KeyPosition{122, "FK01"}, KeyPosition{123, "LEFT"}, KeyPosition{124, "RGHT"},
    KeyPosition{125, "DOWN"}, KeyPosition{126, "UP"},
};

constexpr std::int64_t highestCode = 127;

// Indexed by key code for the frequent direction.
constexpr auto byCode = [] {
    std::array<std::string_view, highestCode + 1> table{};
    for (const auto& position : positions) table[static_cast<std::size_t>(position.carbonKeyCode)] = position.xkbName;
    return table;
}();

}  // namespace

std::optional<std::string_view> xkbKeyName(std::int64_t carbonKeyCode) {
    if (carbonKeyCode < 0 || carbonKeyCode > highestCode) return std::nullopt;
    auto name = byCode[static_cast<std::size_t>(carbonKeyCode)];
    if (name.empty()) return std::nullopt;
    return name;
}

std::optional<std::int64_t> carbonKeyCodeForXkbName(std::string_view xkbName) {
    for (const auto& position : positions) {
        if (position.xkbName == xkbName) return position.carbonKeyCode;
    }
    return std::nullopt;
}

}  // namespace platform
