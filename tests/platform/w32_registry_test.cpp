// The registry over the prefix's system.reg: calls, the file, limits, changes from outside, two processes.
#include "w32_fixture.h"

namespace {

const char kKey[] = "Software\\DunmereNetwork\\Quorvel";

class RegistryTest : public W32Test {
protected:
  std::string regFile() { return prefix + "/system.reg"; }
  HKEY create(HKEY root, const char *sub, DWORD *disposition = nullptr) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, disposition), ERROR_SUCCESS);
    return k;
  }
  static LONG set(HKEY k, const char *name, DWORD type, const std::string &data) {
    return RegSetValueExA(k, name, 0, type, reinterpret_cast<const BYTE *>(data.data()), static_cast<DWORD>(data.size()));
  }
  // The value's bytes, or "(open error N)" / "(error N)".
  std::string query(HKEY root, const char *sub, const char *name, DWORD *type = nullptr) {
    HKEY k;
    BYTE data[512];
    DWORD size = sizeof data;
    LONG rc = RegOpenKeyExA(root, sub, 0, KEY_READ, &k);
    if (rc != ERROR_SUCCESS) return "(open error " + std::to_string(rc) + ")";
    rc = RegQueryValueExA(k, name, nullptr, type, data, &size);
    RegCloseKey(k);
    return rc != ERROR_SUCCESS ? "(error " + std::to_string(rc) + ")" : std::string(reinterpret_cast<char *>(data), size);
  }
};

std::string text(const char *s) { return std::string(s, strlen(s) + 1); } // with its NUL

// Catches a wrong result or disposition, a name matched with case, a NUL added or lost, a bad size query,
// a file written larger than the layer reads.
TEST_F(RegistryTest, CallsAndResults) {
  DWORD disposition = 0, type = 0, size = 0;
  HKEY k = create(HKEY_LOCAL_MACHINE, kKey, &disposition), r = nullptr, sub = nullptr;
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(set(k, "MainDir", REG_SZ, text("c:\\dunmere")) | set(k, "Blob", REG_BINARY, std::string("\0\1\xFF", 3)) |
                set(k, "NoNul", REG_SZ, "ab") | set(k, nullptr, REG_SZ, text("dflt")),
            ERROR_SUCCESS);
  RegCloseKey(create(HKEY_LOCAL_MACHINE, "SOFTWARE\\dunmerenetwork\\QUORVEL", &disposition));
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &r), ERROR_SUCCESS);
  BYTE data[32];
  auto sized = [&](DWORD room, DWORD expectSize) { // the result, unless the size or the bytes past it are wrong
    memset(data, kJunk, sizeof data);
    size = room;
    LONG rc = RegQueryValueExA(r, "MainDir", nullptr, &type, data, &size);
    return size == expectSize && type == REG_SZ && data[11] == static_cast<BYTE>(kJunk) ? rc : -1L;
  };
  expectCalls({
      {"set from no data", [&] { return RegSetValueExA(k, "x", 0, REG_SZ, nullptr, 2); }, ERROR_NOACCESS},
      {"set what the file could not hold (past 64 MiB): nothing written",
       [&] { return set(k, "Huge", REG_SZ, text(std::string(64 << 20, 'x').c_str())); }, ERROR_FILE_TOO_LARGE},
      {"query with exactly the room", [&] { return sized(11, 11); }, 0},
      {"query a byte short: the size, the buffer untouched", [&] { return sized(10, 11) == ERROR_MORE_DATA && data[0] == static_cast<BYTE>(kJunk) ? 0 : 1; }, 0},
      {"query the size", [&] { return RegQueryValueExA(r, "MainDir", nullptr, nullptr, nullptr, &size) || size != 11; }, 0},
      {"query into a buffer without a size", [&] { return RegQueryValueExA(r, "MainDir", nullptr, nullptr, data, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"open a leading backslash", [&] { return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &sub); },
       ERROR_BAD_PATHNAME},
      {"open below no key", [&] {
         sub = k;
         return RegOpenKeyExA(reinterpret_cast<HKEY>(static_cast<intptr_t>(0x1234)), "x", 0, KEY_READ, &sub) + (sub ? 1 : 0);
       }, ERROR_INVALID_HANDLE},
      {"create a volatile key", [&] {
         return RegCreateKeyExA(HKEY_LOCAL_MACHINE, "V", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
       }, ERROR_INVALID_PARAMETER},
      {"delete a key with subkeys", [&] { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software"); }, ERROR_ACCESS_DENIED},
      {"delete a value, in any case", [&] { return set(k, "Gone", REG_SZ, "") | RegDeleteValueA(k, "GONE"); }, 0},
      {"delete it again", [&] { return RegDeleteValueA(k, "Gone"); }, ERROR_FILE_NOT_FOUND},
      {"close", [&] { return RegCloseKey(r); }, 0},
      {"close again", [&] { return RegCloseKey(r); }, ERROR_INVALID_HANDLE},
  });
  RegCloseKey(k);
  type = 0;
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, "software\\DUNMERENETWORK\\quorvel", "", &type), text("dflt"));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, kKey, "NoNul") + query(HKEY_LOCAL_MACHINE, kKey, "Blob"), std::string("ab\0\1\xFF", 5));
  EXPECT_EQ(query(HKEY_CURRENT_USER, kKey, ""), "(open error 2)") << "HKCU is a tree of its own";
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// Catches a value written otherwise than REGEDIT4 does, a value moved, a parent key or HKCR misplaced.
TEST_F(RegistryTest, TheFileFormat) {
  HKEY k = create(HKEY_LOCAL_MACHINE, kKey);
  set(k, "MainDir", REG_SZ, text("c:\\dunmere"));
  set(k, "Flags", REG_DWORD, std::string("\x10\0\0\0", 4));
  set(k, "Quote", REG_SZ, text("say \"hi\""));
  set(k, "Lines", REG_SZ, text("a\r\nb"));
  set(k, "Blob", REG_BINARY, "\x01\xAB");
  set(k, "Multi", REG_MULTI_SZ, std::string("a\0\0", 3));
  set(k, "maindir", REG_SZ, text("c:\\other")); // the same value: its place and spelling stay
  RegCloseKey(k);
  HKEY u = create(HKEY_CURRENT_USER, "Software\\a");
  set(u, "", REG_DWORD, std::string("\1\0\0\0", 4));
  RegCloseKey(u);
  RegCloseKey(create(HKEY_CLASSES_ROOT, ".qv"));
  EXPECT_EQ(readHost(regFile()),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\n[HKEY_LOCAL_MACHINE\\Software\\Classes]\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Classes\\.qv]\n\n[HKEY_LOCAL_MACHINE\\Software\\DunmereNetwork]\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\DunmereNetwork\\Quorvel]\n"
            "\"MainDir\"=\"c:\\\\other\"\n"
            "\"Flags\"=dword:00000010\n"
            "\"Quote\"=\"say \\\"hi\\\"\"\n"
            "\"Lines\"=hex(1):61,0d,0a,62,00\n"
            "\"Blob\"=hex:01,ab\n"
            "\"Multi\"=hex(7):61,00,00\n\n"
            "[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\a]\n@=dword:00000001\n\n");
  // A file written by hand (CR LF, a comment, a root in lower case, a hex
  // line continued) reads back, and a write keeps it in the layer's layout.
  writeHost(regFile(), "REGEDIT4\r\n\r\n; kept by hand\r\n[hkey_local_machine\\SOFTWARE\\DunmereNetwork\\Quorvel]\r\n"
                       "\"MainDir\"=\"d:\\\\net\"\r\n\"Long\"=hex:01,02,\\\r\n  03,04\r\n\"Flags\"=dword:0000001f\r\n");
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, kKey, "MainDir"), text("d:\\net"));
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, kKey, "Long"), "\x01\x02\x03\x04");
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, kKey, "Flags"), std::string("\x1f\0\0\0", 4));
  k = create(HKEY_LOCAL_MACHINE, kKey);
  set(k, "New", REG_SZ, text("n"));
  RegCloseKey(k);
  EXPECT_NE(readHost(regFile()).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\DunmereNetwork\\Quorvel]\n\"MainDir\"=\"d:\\\\net\"\n"
                                     "\"Long\"=hex:01,02,03,04\n\"Flags\"=dword:0000001f\n\"New\"=\"n\"\n"),
            std::string::npos)
      << readHost(regFile());
}

// "a\a\..." levels deep below HKEY_LOCAL_MACHINE.
std::string deepPath(size_t levels) {
  std::string path = "HKEY_LOCAL_MACHINE";
  for (size_t i = 0; i < levels; ++i) path += "\\a";
  return path;
}

// Catches a key made deeper than 512 levels from the root, or a deep tree not written and read back whole.
TEST_F(RegistryTest, DepthLimit) {
  std::string sub = deepPath(512).substr(strlen("HKEY_LOCAL_MACHINE\\"));
  HKEY k = nullptr, half = create(HKEY_LOCAL_MACHINE, sub.substr(0, 2 * 300 - 1).c_str());
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (sub + "\\b").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExA(half, sub.substr(0, 2 * 213 - 1).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(k, nullptr);
  RegCloseKey(half);
  k = create(HKEY_LOCAL_MACHINE, sub.c_str());
  set(k, "deep", REG_SZ, text("yes"));
  RegCloseKey(k);
  writeHost(regFile(), readHost(regFile()) + "; touched\n"); // read again from the file
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, sub.c_str(), "deep"), text("yes"));
}

// Catches a tree kept between calls that misses another program's change to the file.
TEST_F(RegistryTest, ChangesFromOutsideAreSeenByTheNextCall) {
  auto file = [](const char *v) { return std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"") + v + "\"\n"; };
  auto v = [&] { return query(HKEY_LOCAL_MACHINE, "K", "v"); };
  writeHost(regFile(), file("one"));
  EXPECT_EQ(v(), text("one"));
  writeHost(regFile() + ".new", file("two"));
  ASSERT_EQ(rename((regFile() + ".new").c_str(), regFile().c_str()), 0);
  EXPECT_EQ(v(), text("two")) << "replaced by a file of the same size";
  writeHost(regFile(), file("three"));
  EXPECT_EQ(v(), text("three")) << "rewritten in place";
  ASSERT_EQ(rename(regFile().c_str(), (regFile() + ".old").c_str()), 0);
  EXPECT_EQ(v(), "(open error 2)") << "moved away";
  writeHost(regFile(), file("four"));
  EXPECT_EQ(v(), text("four")) << "made again";
  ASSERT_EQ(remove(regFile().c_str()), 0);
  EXPECT_EQ(v(), "(open error 2)") << "removed";
}

// Catches a registry file that does not parse, or is not a regular file or over 64 MiB, read or overwritten.
TEST_F(RegistryTest, OnlyARegularFileThatParsesIsRead) {
  auto file = [](const std::string &t) { return [t](const std::string &f) { writeHost(f, t); return 0; }; };
  const struct {
    std::string what;
    std::function<int(const std::string &)> make;
    LONG error;
    const char *why; // what w32prefix says of a file it cannot read
  } cases[] = {
      {"not a registry", file("not a registry\n"), ERROR_REGISTRY_CORRUPT, nullptr},
      {"a value before any key", file("REGEDIT4\n\n\"Orphan\"=\"no key\"\n"), ERROR_REGISTRY_CORRUPT, nullptr},
      {"an unknown root", file("REGEDIT4\n\n[HKEY_NOWHERE\\x]\n"), ERROR_REGISTRY_CORRUPT, nullptr},
      {"a short DWORD", file("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\x]\n\"v\"=dword:12\n"), ERROR_REGISTRY_CORRUPT, nullptr},
      {"bad hex", file("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\x]\n\"v\"=hex:1,zz\n"), ERROR_REGISTRY_CORRUPT, nullptr},
      {"an unterminated name", file("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\x]\n\"v=\"unterminated\n"), ERROR_REGISTRY_CORRUPT, nullptr},
      {"a key name over 255", file("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + std::string(256, 'n') + "]\n"), ERROR_REGISTRY_CORRUPT, nullptr},
      {"513 levels", file("REGEDIT4\n\n[" + deepPath(513) + "]\n"), ERROR_REGISTRY_CORRUPT, nullptr},
      {"100,000 levels", file("REGEDIT4\n\n[" + deepPath(100000) + "]\n"), ERROR_REGISTRY_CORRUPT, nullptr},
      {"a FIFO", [](const std::string &f) { return mkfifo(f.c_str(), 0600); }, ERROR_REGISTRY_IO_FAILED, "not a regular file"},
      {"a link to /dev/zero", [](const std::string &f) { return symlink("/dev/zero", f.c_str()); }, ERROR_REGISTRY_IO_FAILED,
       "not a regular file"},
      {"a directory", [](const std::string &f) { return mkdir(f.c_str(), 0700); }, ERROR_REGISTRY_IO_FAILED, "not a regular file"},
      {"65 MiB", [](const std::string &f) { writeHost(f, "REGEDIT4\n"); return truncate(f.c_str(), 65 << 20); },
       ERROR_REGISTRY_IO_FAILED, "larger than 64 MiB"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(c.make(regFile()), 0);
    const std::string before = c.why ? "" : readHost(regFile());
    HKEY k = nullptr;
    int status = 0;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "x", 0, KEY_READ, &k), c.error);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "y", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), c.error);
    if (c.why) {
      EXPECT_EQ(runPrefixTool("reg query HKLM", &status), "w32prefix reg query: " + regFile() + ": " + c.why + ", not read\n");
      EXPECT_NE(status, 0);
    } else {
      EXPECT_EQ(readHost(regFile()), before);
    }
    remove(regFile().c_str());
  }
}

// Catches an update lost, or a torn file read, while two processes set values at once.
TEST_F(RegistryTest, TwoProcessesAtOnce) {
  RegCloseKey(create(HKEY_LOCAL_MACHINE, kKey));
  const int kWrites = 40;
  auto name = [](int p, int i) { return "P" + std::to_string(p) + "_" + std::to_string(i); };
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    children[p] = fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      int bad = 0;
      HKEY k;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) _exit(100);
      for (DWORD i = 0; i < kWrites; ++i) {
        DWORD v = i, size = 4;
        bad += set(k, name(p, i).c_str(), REG_DWORD, std::string(reinterpret_cast<char *>(&v), 4)) != 0;
        bad += RegQueryValueExA(k, name(p, i).c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size) != 0 || v != i;
      }
      RegCloseKey(k);
      _exit(bad > 99 ? 99 : bad);
    }
  }
  for (pid_t c : children) {
    int status = 0;
    ASSERT_EQ(waitpid(c, &status, 0), c);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failed calls in a child: " << status;
  }
  int found = 0;
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kWrites; ++i) found += query(HKEY_LOCAL_MACHINE, kKey, name(p, i).c_str()) == std::string(reinterpret_cast<char *>(&i), 4);
  }
  EXPECT_EQ(found, 2 * kWrites) << "an update was lost";
}

} // namespace
