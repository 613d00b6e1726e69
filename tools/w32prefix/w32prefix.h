// w32prefix's parts share these: the tool's name and usage errors, the
// prefix it works on, and the registry helpers of the reg commands.
#ifndef QV_TOOLS_W32PREFIX_H
#define QV_TOOLS_W32PREFIX_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace w32prefix {

extern const char kTool[];

// A usage error: said, with the hint to --help; returns the status.
int usage(const std::string &command, const std::string &what);

// The prefix the layer will use (W32_PREFIX, else the default), absolute.
std::string prefixPath();
bool isDir(const std::string &path);
bool exists(const std::string &path);
// For a command that only looks: the prefix must be there already (else
// said, false).
bool needPrefix(const std::string &command);
// The layer reads its own files only when they are regular files of at
// most 64 MiB; false (said, naming the file) for anything else.
bool prefixFileReadable(const std::string &command, const std::string &path);
// An output must not be one of the prefix's own files (w32::prefixOwnFile),
// nor a new file among them: false (said) if it is.
bool notPrefixFile(const std::string &command, const std::string &path);

// ---- The reg commands (w32prefix_reg.cpp) ---------------------------------
int regQuery(const std::vector<std::string> &args);
int regAdd(const std::vector<std::string> &args, bool asks);
int regDelete(const std::vector<std::string> &args);
int regExport(const std::vector<std::string> &args);
int regImport(const std::vector<std::string> &args);
// "HKLM\Software\x" -> HKEY_LOCAL_MACHINE and "Software\x".
bool splitKey(const std::string &key, HKEY *root, std::string *rootName, std::string *sub);
// What the registry would refuse in a key below root ("" when nothing): a
// name over 255 characters, a tree over 512 levels (the layer's limits).
std::string keyNameProblem(HKEY root, const std::string &sub);
// A value name may be as long as modern Windows takes, 16,383 characters.
constexpr size_t kMaxValueName = 16383;
std::string valueNameProblem(const std::string &name);

// ---- REGEDIT4 files (w32prefix_regfile.cpp) -------------------------------
struct Value {
  std::string name;
  DWORD type;
  std::string data;
};
// Text as a value of type ("REG_SZ", "REG_DWORD", ...); false when it is not.
bool encodeData(const std::string &type, const std::string &text, DWORD *regType, std::string *data);
// One value as an exported line ("name"=...); unicode: in the later
// format, whose string data are UTF-16LE.
std::string exportValue(const Value &v, bool unicode = false);
// The later format's first line, and a whole file of it from its text.
extern const char kRegedit5[];
std::string unicodeFile(const std::string &text);
// A registry file's bytes as text: UTF-16LE (with its byte-order mark) made
// ANSI, a UTF-8 byte-order mark dropped; false with *why.
bool decodeRegFile(const std::string &raw, std::string *text, std::string *why);
// One change a REGEDIT4 file asks for.
struct Change {
  std::string key;  // as written
  HKEY root;
  std::string sub;
  bool deleteKey;
  bool hasValue;
  bool deleteValue;
  Value value;
};
// Reads a whole REGEDIT4 file into its changes; false with *where (name:line)
// and *why for the first fault.
bool parseRegFile(const std::string &text, const std::string &name, std::vector<Change> *changes, std::string *where,
                  std::string *why);

} // namespace w32prefix

#endif
