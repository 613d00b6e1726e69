// Whose prefix: one the layer may use is the user's own and nobody else's
// to change, and is a prefix (or empty, or not there yet); anything else is
// refused before anything is done on it.
#include "w32_fixture.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using PrefixTest = W32Test;

TEST_F(PrefixTest, APrefixIsTheUsersOwn) {
  std::string base = root + "/prefixes";
  makeHostDir(base + "/shared");
  chmod((base + "/shared").c_str(), 0777);  // anybody may rename what is in it
  makeHostDir(base + "/sticky");
  chmod((base + "/sticky").c_str(), 01777);  // as /tmp: only the owner may
  makeHostDir(base + "/sticky/mine");
  makeHostDir(base + "/shared/p");
  makeHostDir(base + "/open");
  chmod((base + "/open").c_str(), 0777);
  makeHostDir(base + "/group");
  chmod((base + "/group").c_str(), 0775);
  writeHost(base + "/file", "not a directory");
  makeHostDir(base + "/home");
  writeHost(base + "/home/notes.txt", "a user's own files");
  makeHostDir(base + "/empty");
  bool asRoot = geteuid() == 0;
  if (asRoot) {
    makeHostDir(base + "/theirs");
    chown((base + "/theirs").c_str(), 65534, 65534);
    makeHostDir(base + "/devices/dosdevices");
    chown((base + "/devices/dosdevices").c_str(), 65534, 65534);
  }
  const struct {
    std::string path;
    const char *refusal;  // the start of why not, or "" when it may be used
    bool needsRoot;
  } cases[] = {
      {"/", "the root directory cannot be a prefix", false},
      {base + "/file", "not a directory", false},
      {base + "/home", "holds other files but no prefix", false},
      {base + "/open", "the prefix can be written by other users (mode 0777)", false},
      {base + "/group", "the prefix can be written by other users (mode 0775)", false},
      {base + "/shared/p", "its directory", false},
      {base + "/theirs", "the prefix belongs to user 65534", true},
      {base + "/devices", "its dosdevices directory belongs to user 65534", true},
      {base + "/sticky/mine", "", false},
      {base + "/missing", "", false},
      {base + "/empty", "", false},
      {prefix, "", false},
  };
  for (const auto &c : cases) {
    if (c.needsRoot && !asRoot) continue;
    std::string why = w32::prefixProblem(c.path);
    EXPECT_EQ(why.substr(0, strlen(c.refusal)), c.refusal) << c.path << ": " << why;
    EXPECT_EQ(why.empty(), !*c.refusal) << c.path << ": " << why;
  }
  EXPECT_FALSE(hostExists(base + "/missing"));
  EXPECT_FALSE(hostExists(base + "/home/drive_c"));

  // Without HOME the default is the user's home directory from the system,
  // never a shared directory anybody could make first.
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  std::string given = getenv("W32_PREFIX");
  unsetenv("HOME");
  unsetenv("W32_PREFIX");
  struct passwd *pw = getpwuid(geteuid());
  std::string expected = pw ? std::string(pw->pw_dir) + "/.quorvel-w32" : "";
  EXPECT_EQ(w32::defaultPrefixPath(), expected);
  setenv("W32_PREFIX", given.c_str(), 1);
  if (!home.empty()) setenv("HOME", home.c_str(), 1);
}

}  // namespace
