// Holds rcgen's table of style names to the values of the Win32 layer's
// <windows.h>, name by name, and makes sure no name is left unchecked.
#include <windows.h>

#include <iterator>

#include "rc_names.h"

namespace {

constexpr bool same(std::string_view name, unsigned long headerValue) {
  bool found = false;
  uint32_t value = rcgen::styleValue(name, &found);
  return found && value == static_cast<uint32_t>(headerValue);
}

#define QV_SAME(name) static_assert(same(#name, name), #name " differs from <windows.h>");
#define QV_NAMES(X)                                                                                   \
  X(WS_OVERLAPPED) X(WS_POPUP) X(WS_CHILD) X(WS_VISIBLE) X(WS_DISABLED) X(WS_CAPTION) X(WS_BORDER)    \
  X(WS_DLGFRAME) X(WS_VSCROLL) X(WS_HSCROLL) X(WS_SYSMENU) X(WS_THICKFRAME) X(WS_GROUP) X(WS_TABSTOP) \
  X(WS_EX_DLGMODALFRAME) X(WS_EX_CLIENTEDGE) X(WS_EX_STATICEDGE) X(DS_3DLOOK) X(DS_SETFONT)           \
  X(DS_MODALFRAME) X(DS_CENTER) X(SS_LEFT) X(SS_CENTER) X(SS_RIGHT) X(SS_BITMAP) X(SS_TYPEMASK)       \
  X(SS_NOPREFIX) X(BS_PUSHBUTTON) X(BS_DEFPUSHBUTTON) X(ES_LEFT) X(ES_AUTOHSCROLL)

QV_NAMES(QV_SAME)

#define QV_ONE(name) +1
static_assert(std::size(rcgen::kStyleNames) == 0 QV_NAMES(QV_ONE), "a style name is not checked");

}  // namespace
