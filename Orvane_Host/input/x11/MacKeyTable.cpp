#include "Orvane_Host/input/x11/MacKeyTable.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <linux/input-event-codes.h>

#include <array>

namespace orvane {

namespace {

struct Row {
    std::uint16_t mac;
    std::uint16_t evdev;
    std::uint32_t keysym;
};

// By the viewers' key codes (ANSI positions; ISO and JIS extras at the end).
constexpr Row rows[] = {
    {0, KEY_A, XK_a},
    {1, KEY_S, XK_s},
    {2, KEY_D, XK_d},
    {3, KEY_F, XK_f},
    {4, KEY_H, XK_h},
    {5, KEY_G, XK_g},
    {6, KEY_Z, XK_z},
    {7, KEY_X, XK_x},
    {8, KEY_C, XK_c},
    {9, KEY_V, XK_v},
    {11, KEY_B, XK_b},
    {12, KEY_Q, XK_q},
    {13, KEY_W, XK_w},
    {14, KEY_E, XK_e},
    {15, KEY_R, XK_r},
    {16, KEY_Y, XK_y},
    {17, KEY_T, XK_t},
    {18, KEY_1, XK_1},
    {19, KEY_2, XK_2},
    {20, KEY_3, XK_3},
    {21, KEY_4, XK_4},
    {22, KEY_6, XK_6},
    {23, KEY_5, XK_5},
    {24, KEY_EQUAL, XK_equal},
    {25, KEY_9, XK_9},
    {26, KEY_7, XK_7},
    {27, KEY_MINUS, XK_minus},
    {28, KEY_8, XK_8},
    {29, KEY_0, XK_0},
    {30, KEY_RIGHTBRACE, XK_bracketright},
    {31, KEY_O, XK_o},
    {32, KEY_U, XK_u},
    {33, KEY_LEFTBRACE, XK_bracketleft},
    {34, KEY_I, XK_i},
    {35, KEY_P, XK_p},
    {36, KEY_ENTER, XK_Return},
    {37, KEY_L, XK_l},
    {38, KEY_J, XK_j},
    {39, KEY_APOSTROPHE, XK_apostrophe},
    {40, KEY_K, XK_k},
    {41, KEY_SEMICOLON, XK_semicolon},
    {42, KEY_BACKSLASH, XK_backslash},
    {43, KEY_COMMA, XK_comma},
    {44, KEY_SLASH, XK_slash},
    {45, KEY_N, XK_n},
    {46, KEY_M, XK_m},
    {47, KEY_DOT, XK_period},
    {48, KEY_TAB, XK_Tab},
    {49, KEY_SPACE, XK_space},
    {50, KEY_GRAVE, XK_grave},
    {51, KEY_BACKSPACE, XK_BackSpace},
    {53, KEY_ESC, XK_Escape},
    {54, KEY_RIGHTMETA, XK_Super_R},
    {55, KEY_LEFTMETA, XK_Super_L},
    {56, KEY_LEFTSHIFT, XK_Shift_L},
    {57, KEY_CAPSLOCK, XK_Caps_Lock},
    {58, KEY_LEFTALT, XK_Alt_L},
    {59, KEY_LEFTCTRL, XK_Control_L},
    {60, KEY_RIGHTSHIFT, XK_Shift_R},
    {61, KEY_RIGHTALT, XK_Alt_R},
    {62, KEY_RIGHTCTRL, XK_Control_R},
    {64, KEY_F17, XK_F17},
    {65, KEY_KPDOT, XK_KP_Decimal},
    {67, KEY_KPASTERISK, XK_KP_Multiply},
    {69, KEY_KPPLUS, XK_KP_Add},
    {71, KEY_NUMLOCK, XK_Num_Lock},  // keypad Clear sits where Num Lock does
    {72, KEY_VOLUMEUP, XF86XK_AudioRaiseVolume},
    {73, KEY_VOLUMEDOWN, XF86XK_AudioLowerVolume},
    {74, KEY_MUTE, XF86XK_AudioMute},
    {75, KEY_KPSLASH, XK_KP_Divide},
    {76, KEY_KPENTER, XK_KP_Enter},
    {78, KEY_KPMINUS, XK_KP_Subtract},
    {79, KEY_F18, XK_F18},
    {80, KEY_F19, XK_F19},
    {81, KEY_KPEQUAL, XK_KP_Equal},
    {82, KEY_KP0, XK_KP_0},
    {83, KEY_KP1, XK_KP_1},
    {84, KEY_KP2, XK_KP_2},
    {85, KEY_KP3, XK_KP_3},
    {86, KEY_KP4, XK_KP_4},
    {87, KEY_KP5, XK_KP_5},
    {88, KEY_KP6, XK_KP_6},
    {89, KEY_KP7, XK_KP_7},
    {90, KEY_F20, XK_F20},
    {91, KEY_KP8, XK_KP_8},
    {92, KEY_KP9, XK_KP_9},
    {96, KEY_F5, XK_F5},
    {97, KEY_F6, XK_F6},
    {98, KEY_F7, XK_F7},
    {99, KEY_F3, XK_F3},
    {100, KEY_F8, XK_F8},
    {101, KEY_F9, XK_F9},
    {103, KEY_F11, XK_F11},
    {105, KEY_F13, XK_F13},
    {106, KEY_F16, XK_F16},
    {107, KEY_F14, XK_F14},
    {109, KEY_F10, XK_F10},
    {110, KEY_COMPOSE, XK_Menu},  // the context-menu key
    {111, KEY_F12, XK_F12},
    {113, KEY_F15, XK_F15},
    {114, KEY_INSERT, XK_Insert},  // Help sits where Insert does
    {115, KEY_HOME, XK_Home},
    {116, KEY_PAGEUP, XK_Prior},
    {117, KEY_DELETE, XK_Delete},
    {118, KEY_F4, XK_F4},
    {119, KEY_END, XK_End},
    {120, KEY_F2, XK_F2},
    {121, KEY_PAGEDOWN, XK_Next},
    {122, KEY_F1, XK_F1},
    {123, KEY_LEFT, XK_Left},
    {124, KEY_RIGHT, XK_Right},
    {125, KEY_DOWN, XK_Down},
    {126, KEY_UP, XK_Up},
    // ISO: the key left of Z on ISO boards; JIS: yen, underscore, keypad comma, Eisu, Kana.
    {10, KEY_102ND, XK_less},
    {93, KEY_YEN, XK_yen},
    {94, KEY_RO, XK_backslash},
    {95, KEY_KPJPCOMMA, XK_KP_Separator},
    {102, KEY_HANJA, XK_Hangul_Hanja},
    {104, KEY_HANGEUL, XK_Hangul},
};

constexpr std::array<std::optional<PcKey>, 128> table = [] {
    std::array<std::optional<PcKey>, 128> t{};
    for (const Row& r : rows) t[r.mac] = PcKey{r.evdev, r.keysym};
    return t;
}();

}  // namespace

std::optional<PcKey> pcKeyFor(std::uint16_t macKeyCode) {
    return macKeyCode < table.size() ? table[macKeyCode] : std::nullopt;
}

}  // namespace orvane
