// rcgen's reading of a resource script: the subset of the resource
// compiler's language that res/setup.rc uses, turned into the tables of
// <w32_resource.h>.
//
// Read: // and /* */ comments; #include "file" (only #define lines, comments
// and blank lines inside), #include <...> (skipped), #define NAME number;
// DIALOG and DIALOGEX with STYLE, EXSTYLE, CAPTION and FONT; LTEXT, CTEXT,
// RTEXT, PUSHBUTTON, DEFPUSHBUTTON, EDITTEXT and CONTROL; STRINGTABLE; NAME
// BITMAP "file".  Anything else is an error naming the file and line.  A
// bitmap "NAME.bmp" with a "NAME.txt" beside it carries that text as the
// picture in words (tools/bmpgen), for a front end that cannot show it.
#ifndef QV_RCGEN_RC_SCRIPT_H
#define QV_RCGEN_RC_SCRIPT_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace rcgen {

struct Control {
  std::string className;  // "STATIC", "BUTTON", "EDIT" or as CONTROL gives it
  std::string text;
  int id = 0;
  uint32_t style = 0;
  uint32_t exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
};

struct Dialog {
  int id = 0;
  std::string caption;
  uint32_t style = 0;
  uint32_t exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::string fontName;  // empty without FONT
  int fontSize = 0;
  std::vector<Control> controls;  // in script order, the tab order
};

struct StringEntry {
  unsigned id = 0;
  std::string text;
};

struct Bitmap {
  std::string name;
  std::string path;  // as opened: relative to the script's directory
  std::vector<unsigned char> bytes;
  bool hasWords = false;
  std::string words;  // the picture in words, from the .txt beside it
};

struct Script {
  std::vector<Dialog> dialogs;
  std::vector<StringEntry> strings;
  std::vector<Bitmap> bitmaps;
  std::vector<std::string> inputs;  // every file read, the script first
};

// A fault in a script: where, and what was found.
struct ScriptError : std::runtime_error {
  ScriptError(const std::string &file, int line, const std::string &what)
      : std::runtime_error(file + ":" + std::to_string(line) + ": " + what), file(file), line(line) {}
  std::string file;
  int line;
};

// Reads the script at 'path'.  Throws ScriptError.
Script parseScript(const std::string &path);

// The C++ source that defines w32_resource_table() for 'script'.
// 'origin' names the script in the file's opening comment.
std::string emitSource(const Script &script, const std::string &origin);

}  // namespace rcgen

#endif
