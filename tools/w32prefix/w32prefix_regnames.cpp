// Registry keys as the reg commands name them: a root key by its short or
// long name, then the path below it, held to the registry's limits (the
// layer's, w32_test.h) on names and depth.
#include "w32prefix.h"

#include "w32_test.h"

#include <algorithm>
#include <cctype>

namespace w32prefix {

namespace {

bool upperEquals(const std::string &a, const char *b) {
  std::string x;
  for (char c : a) x += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return x == b;
}

} // namespace

std::string keyNameProblem(HKEY root, const std::string &sub) {
  size_t depth = root == HKEY_CLASSES_ROOT ? 2 : 0;  // HKLM\Software\Classes
  for (size_t at = 0; at <= sub.size();) {
    size_t end = std::min(sub.find('\\', at), sub.size());
    if (end > at) depth++;  // as the layer, empty names between backslashes are skipped
    if (end - at > w32::kRegistryMaxKeyName) {
      return "a key name of " + std::to_string(end - at) + " characters, more than the " +
             std::to_string(w32::kRegistryMaxKeyName) + " the registry takes";
    }
    at = end + 1;
  }
  if (depth > w32::kRegistryMaxDepth) {
    return "a key " + std::to_string(depth) + " levels deep, more than the " + std::to_string(w32::kRegistryMaxDepth) +
           " the registry takes";
  }
  return "";
}

std::string valueNameProblem(const std::string &name) {
  if (name.size() <= kMaxValueName) return "";
  return "a value name of " + std::to_string(name.size()) + " characters, more than the " +
         std::to_string(kMaxValueName) + " the registry takes";
}

bool splitKey(const std::string &key, HKEY *root, std::string *rootName, std::string *sub) {
  std::string head = key.substr(0, key.find('\\'));
  *sub = key.find('\\') == std::string::npos ? "" : key.substr(key.find('\\') + 1);
  while (!sub->empty() && sub->back() == '\\') sub->pop_back();
  struct Root {
    const char *shortName, *longName;
    HKEY key;
  };
  const Root roots[] = {{"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                        {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                        {"HKU", "HKEY_USERS", HKEY_USERS},
                        {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}};
  for (const Root &r : roots) {
    if (upperEquals(head, r.shortName) || upperEquals(head, r.longName)) {
      *root = r.key;
      *rootName = r.longName;
      return true;
    }
  }
  return false;
}

} // namespace w32prefix
