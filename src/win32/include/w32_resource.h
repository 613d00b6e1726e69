// The program's resources as the Linux Win32 layer reads them: dialog
// templates, the string table and bitmaps.
//
// On Windows these live in the executable's resource section, compiled from
// res/setup.rc.  On Linux a build step (tools/rcgen) turns the same script
// into one C++ source that defines w32_resource_table() and is compiled
// into the program itself, as the resource section is linked into an .exe;
// a program built without it has no resources (the layer's weak default),
// so DialogBoxParamA and LoadStringA fail as they would for a missing name.
#ifndef QV_PLATFORM_W32_RESOURCE_H
#define QV_PLATFORM_W32_RESOURCE_H

#include <windows.h>

namespace w32res {

// One control of a dialog template, in the template's order (which is the
// creation and tab order).  Rectangles are in dialog units.
struct ControlTemplate {
  const char *className;  // "BUTTON", "STATIC", "EDIT", "msctls_progress32"
  const char *text;       // "" when the template gives none
  int id;                 // IDC_STATIC (-1) for texts without an identifier
  DWORD style;            // WS_*, BS_*, SS_*, ES_* as the script sets them
  DWORD exStyle;
  short x, y, cx, cy;
};

struct DialogTemplate {
  int id;
  const char *caption;
  DWORD style;
  DWORD exStyle;
  short x, y, cx, cy;
  const char *fontName;  // "MS Sans Serif"
  int fontSize;          // points
  const ControlTemplate *controls;
  int controlCount;
};

struct StringEntry {
  UINT id;
  const char *text;
};

// A BITMAP resource: the bytes of its .bmp file, header included.
struct BitmapEntry {
  const char *name;  // the resource name as the script gives it, e.g. "DUNMERE95NEWL"
  const unsigned char *bytes;
  unsigned long size;
  const char *words;  // the picture in words (a .txt beside the .bmp), or nullptr
};

struct ResourceTable {
  const DialogTemplate *dialogs;
  int dialogCount;
  const StringEntry *strings;
  int stringCount;
  const BitmapEntry *bitmaps;
  int bitmapCount;
};

}  // namespace w32res

// The resources linked into this program (the layer's weak default: none).
const w32res::ResourceTable *w32_resource_table();

#endif
