#include "platform/linux/desktop/key_mapping.h"

#include <X11/keysym.h>

#include <array>
#include <utility>

namespace orvix::platform::linux_desktop {

namespace {

// Host key code (a macOS virtual key code) and the key symbol of the same key.
constexpr std::array<std::pair<std::uint16_t, KeySym>, 67> kKeys = {{
    {0, XK_a},        {1, XK_s},           {2, XK_d},           {3, XK_f},
    {4, XK_h},        {5, XK_g},           {6, XK_z},           {7, XK_x},
    {8, XK_c},        {9, XK_v},           {11, XK_b},          {12, XK_q},
    {13, XK_w},       {14, XK_e},          {15, XK_r},          {16, XK_y},
    {17, XK_t},       {18, XK_1},          {19, XK_2},          {20, XK_3},
    {21, XK_4},       {22, XK_6},          {23, XK_5},          {24, XK_equal},
    {25, XK_9},       {26, XK_7},          {27, XK_minus},      {28, XK_8},
    {29, XK_0},       {30, XK_bracketright}, {31, XK_o},        {32, XK_u},
    {33, XK_bracketleft}, {34, XK_i},      {35, XK_p},          {36, XK_Return},
    {37, XK_l},       {38, XK_j},          {39, XK_apostrophe}, {40, XK_k},
    {41, XK_semicolon}, {42, XK_backslash}, {43, XK_comma},     {44, XK_slash},
    {45, XK_n},       {46, XK_m},          {47, XK_period},     {48, XK_Tab},
    {49, XK_space},   {50, XK_grave},      {51, XK_BackSpace},  {53, XK_Escape},
    {55, XK_Control_L}, {56, XK_Shift_L},  {57, XK_Caps_Lock},  {58, XK_Alt_L},
    {60, XK_Shift_R}, {61, XK_Alt_R},      {62, XK_Control_R},  {115, XK_Home},
    {116, XK_Page_Up}, {117, XK_Delete},   {119, XK_End},       {121, XK_Page_Down},
    {123, XK_Left},   {124, XK_Right},     {125, XK_Down},
}};
constexpr std::uint16_t kUpArrow = 126;

}  // namespace

std::optional<KeySym> keySymForHostCode(std::uint16_t hostCode) {
  if (hostCode == kUpArrow) return XK_Up;
  for (const auto& [code, symbol] : kKeys) {
    if (code == hostCode) return symbol;
  }
  return std::nullopt;
}

std::optional<std::uint16_t> hostCodeForKeySym(KeySym symbol) {
  if (symbol == XK_Up) return kUpArrow;
  // Letters arrive as their lower-case symbol at level 0, but a layout may list capitals.
  if (symbol >= XK_A && symbol <= XK_Z) symbol += XK_a - XK_A;
  for (const auto& [code, known] : kKeys) {
    if (known == symbol) return code;
  }
  return std::nullopt;
}

EventFlags modifierFlagOf(KeySym symbol) {
  switch (symbol) {
    case XK_Control_L:
    case XK_Control_R:
      return kEventFlagCommand;
    case XK_Shift_L:
    case XK_Shift_R:
      return kEventFlagShift;
    case XK_Alt_L:
    case XK_Alt_R:
      return kEventFlagOption;
    default:
      return 0;
  }
}

}  // namespace orvix::platform::linux_desktop
