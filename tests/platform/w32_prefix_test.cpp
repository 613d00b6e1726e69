// Whose prefix: one the layer may use is the user's own and nobody else's
// to change, and is a prefix (or empty, or not there yet).
#include "w32_fixture.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using PrefixTest = W32Test;

// Catches a prefix taken that others may write (or rename from a shared
// directory), that is another user's, a file, or a directory of other
// files; one of those changed; and a default prefix in a shared directory.
TEST_F(PrefixTest, APrefixIsTheUsersOwn) {
  const std::string base = root + "/prefixes";
  makeHostDir(base);
  writeHost(base + "/file", "not a directory");
  const bool asRoot = geteuid() == 0;
  const struct {
    std::string path, made; // made: the directory to make for the case, "" none
    mode_t mode;            // of made
    bool theirs;            // made belongs to user 65534 (only as root)
    const char *refusal;    // the start of why not, or "" when it may be used
  } cases[] = {
      {"/", "", 0, false, "the root directory cannot be a prefix"},
      {base + "/file", "", 0, false, "not a directory"},
      {base + "/home", base + "/home", 0755, false, "holds other files but no prefix"},
      {base + "/open", base + "/open", 0777, false, "the prefix can be written by other users (mode 0777)"},
      {base + "/group", base + "/group", 0775, false, "the prefix can be written by other users (mode 0775)"},
      {base + "/shared/p", base + "/shared", 0777, false, "its directory"}, // anybody may rename what is in it
      {base + "/theirs", base + "/theirs", 0755, true, "the prefix belongs to user 65534"},
      {base + "/devices", base + "/devices/dosdevices", 0755, true, "its dosdevices directory belongs to user 65534"},
      {base + "/sticky/mine", base + "/sticky", 01777, false, ""}, // as /tmp: only the owner may
      {base + "/missing", "", 0, false, ""},
      {base + "/empty", base + "/empty", 0755, false, ""},
      {prefix, "", 0, false, ""},
  };
  for (const auto &c : cases) {
    if (c.theirs && !asRoot) continue;
    if (!c.made.empty()) {
      makeHostDir(c.path);
      makeHostDir(c.made);
      chmod(c.made.c_str(), c.mode);
      if (c.theirs) chown(c.made.c_str(), 65534, 65534);
    }
    if (c.path == base + "/home") writeHost(base + "/home/notes.txt", "a user's own files");
    std::string why = w32::prefixProblem(c.path);
    EXPECT_EQ(why.substr(0, strlen(c.refusal)), c.refusal) << c.path << ": " << why;
    EXPECT_EQ(why.empty(), !*c.refusal) << c.path << ": " << why;
  }
  EXPECT_FALSE(hostExists(base + "/missing") || hostExists(base + "/home/drive_c"));

  // Without HOME the default is the user's home directory from the system.
  std::string home = getenv("HOME") ? getenv("HOME") : "", given = getenv("W32_PREFIX");
  unsetenv("HOME");
  unsetenv("W32_PREFIX");
  struct passwd *pw = getpwuid(geteuid());
  EXPECT_EQ(w32::defaultPrefixPath(), pw ? std::string(pw->pw_dir) + "/.quorvel-w32" : "");
  setenv("W32_PREFIX", given.c_str(), 1);
  if (!home.empty()) setenv("HOME", home.c_str(), 1);
}

} // namespace
