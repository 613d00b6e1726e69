// The style names a resource script may use, with their values.  rcgen does
// not read <windows.h> (it skips system includes, as the scripts it reads
// need nothing else from them); rc_names_check.cpp holds this table to the
// Win32 layer's headers at compile time.
#ifndef QV_RCGEN_RC_NAMES_H
#define QV_RCGEN_RC_NAMES_H

#include <cstdint>
#include <string_view>

namespace rcgen {

struct StyleName {
  std::string_view name;
  uint32_t value;
};

inline constexpr StyleName kStyleNames[] = {
    {"WS_OVERLAPPED", 0x00000000},   {"WS_POPUP", 0x80000000},     {"WS_CHILD", 0x40000000},
    {"WS_VISIBLE", 0x10000000},      {"WS_DISABLED", 0x08000000},  {"WS_CAPTION", 0x00C00000},
    {"WS_BORDER", 0x00800000},       {"WS_DLGFRAME", 0x00400000},  {"WS_VSCROLL", 0x00200000},
    {"WS_HSCROLL", 0x00100000},      {"WS_SYSMENU", 0x00080000},   {"WS_THICKFRAME", 0x00040000},
    {"WS_GROUP", 0x00020000},        {"WS_TABSTOP", 0x00010000},   {"WS_EX_DLGMODALFRAME", 0x00000001},
    {"WS_EX_CLIENTEDGE", 0x00000200}, {"WS_EX_STATICEDGE", 0x00020000},
    {"DS_3DLOOK", 0x0004},           {"DS_SETFONT", 0x0040},       {"DS_MODALFRAME", 0x0080},
    {"DS_CENTER", 0x0800},           {"SS_LEFT", 0x0000},          {"SS_CENTER", 0x0001},
    {"SS_RIGHT", 0x0002},            {"SS_BITMAP", 0x000E},        {"SS_TYPEMASK", 0x001F},
    {"SS_NOPREFIX", 0x0080},         {"BS_PUSHBUTTON", 0x0000},    {"BS_DEFPUSHBUTTON", 0x0001},
    {"ES_LEFT", 0x0000},             {"ES_AUTOHSCROLL", 0x0080},
};

// The value of a style name; found is false for a name not in the table.
constexpr uint32_t styleValue(std::string_view name, bool *found = nullptr) {
  for (const StyleName &s : kStyleNames) {
    if (s.name == name) {
      if (found) *found = true;
      return s.value;
    }
  }
  if (found) *found = false;
  return 0;
}

}  // namespace rcgen

#endif
