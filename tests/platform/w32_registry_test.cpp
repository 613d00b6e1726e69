// The registry over the prefix's system.reg: calls and results, the file
// format, persistence, corruption, two processes at once.
#include "w32_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>

namespace {

const char kKey[] = "Software\\DunmereNetwork\\Quorvel";

class RegistryTest : public W32Test {
protected:
  std::string regFile() { return prefix + "/system.reg"; }

  HKEY create(HKEY root, const char *sub, DWORD *disposition = nullptr) {
    HKEY k = nullptr;
    DWORD d = 0;
    EXPECT_EQ(RegCreateKeyExA(root, sub, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &k, &d),
              ERROR_SUCCESS);
    if (disposition) *disposition = d;
    return k;
  }
  void setText(HKEY k, const char *name, const char *text) {
    EXPECT_EQ(RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                             static_cast<DWORD>(strlen(text) + 1)),
              ERROR_SUCCESS);
  }
  void setDword(HKEY k, const char *name, DWORD v) {
    EXPECT_EQ(RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4), ERROR_SUCCESS);
  }
  // The value's type and bytes, or "(error N)".
  std::string query(HKEY root, const char *sub, const char *name, DWORD *type = nullptr) {
    HKEY k;
    LONG rc = RegOpenKeyExA(root, sub, 0, KEY_READ, &k);
    if (rc != ERROR_SUCCESS) return "(open error " + std::to_string(rc) + ")";
    BYTE data[512];
    DWORD size = sizeof data, t = 0;
    rc = RegQueryValueExA(k, name, nullptr, &t, data, &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) return "(error " + std::to_string(rc) + ")";
    if (type) *type = t;
    return std::string(reinterpret_cast<char *>(data), size);
  }
};

TEST_F(RegistryTest, CreateOpenSetQuery) {
  DWORD disposition = 0;
  HKEY k = create(HKEY_LOCAL_MACHINE, kKey, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  setText(k, "MainDir", "c:\\dunmere");
  setDword(k, "Flags", 16);
  const BYTE blob[] = {0, 1, 0xFF};
  EXPECT_EQ(RegSetValueExA(k, "Blob", 0, REG_BINARY, blob, 3), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(k, "NoNul", 0, REG_SZ, reinterpret_cast<const BYTE *>("ab"), 2), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>("dflt"), 5), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  HKEY again = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\dunmerenetwork\\QUORVEL", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(again);

  struct Case {
    const char *what;
    const char *sub;
    const char *name;
    std::string data; // or "(error N)"
    DWORD type;
  };
  const Case cases[] = {
      {"text with its NUL", kKey, "MainDir", std::string("c:\\dunmere\0", 11), REG_SZ},
      {"names ignore case", "software\\DUNMERENETWORK\\quorvel", "maindir", std::string("c:\\dunmere\0", 11), REG_SZ},
      {"a DWORD, four bytes", kKey, "Flags", std::string("\x10\0\0\0", 4), REG_DWORD},
      {"binary bytes", kKey, "Blob", std::string("\0\1\xFF", 3), REG_BINARY},
      {"text stored without its NUL stays so", kKey, "NoNul", "ab", REG_SZ},
      {"the default value", kKey, "", std::string("dflt\0", 5), REG_SZ},
      {"a missing value", kKey, "None", "(error 2)", 0},
      {"a missing key", "Software\\Nobody", "MainDir", "(open error 2)", 0},
      {"a leading backslash", "\\Software", "x", "(open error 161)", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    DWORD type = 0;
    EXPECT_EQ(query(HKEY_LOCAL_MACHINE, c.sub, c.name, &type), c.data);
    if (c.data[0] != '(') {
      EXPECT_EQ(type, c.type);
    }
  }
  EXPECT_EQ(query(HKEY_CURRENT_USER, kKey, "MainDir"), "(open error 2)") << "HKCU is a tree of its own";
  EXPECT_EQ(w32::openHandleCount(), 0);
}

TEST_F(RegistryTest, QuerySizes) {
  HKEY k = create(HKEY_LOCAL_MACHINE, kKey);
  setText(k, "MainDir", "c:\\dunmere"); // 11 bytes
  struct Case {
    const char *what;
    bool withData;
    bool withSize;
    DWORD size;
    LONG result;
    DWORD sizeAfter;
    bool written;
  };
  const Case cases[] = {
      {"room enough", true, true, 32, ERROR_SUCCESS, 11, true},
      {"exactly enough", true, true, 11, ERROR_SUCCESS, 11, true},
      {"one byte short: the size needed, buffer untouched", true, true, 10, ERROR_MORE_DATA, 11, false},
      {"no buffer: the size", false, true, 0, ERROR_SUCCESS, 11, false},
      {"a buffer without a size", true, false, 0, ERROR_INVALID_PARAMETER, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    BYTE data[32];
    memset(data, kJunk, sizeof data);
    DWORD size = c.size, type = 0xdead;
    LONG rc = RegQueryValueExA(k, "MainDir", nullptr, &type, c.withData ? data : nullptr, c.withSize ? &size : nullptr);
    EXPECT_EQ(rc, c.result);
    if (c.withSize) {
      EXPECT_EQ(size, c.sizeAfter);
    }
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
      EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    }
    EXPECT_EQ(data[0] == 'c', c.written);
    EXPECT_EQ(data[11], static_cast<BYTE>(kJunk));
  }
  RegCloseKey(k);
}

TEST_F(RegistryTest, HandlesAndAccess) {
  HKEY k = create(HKEY_LOCAL_MACHINE, kKey);
  HKEY r;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &r), ERROR_SUCCESS);
  EXPECT_EQ(w32::openHandleCount(), 2);
  EXPECT_EQ(RegSetValueExA(r, "x", 0, REG_SZ, reinterpret_cast<const BYTE *>("1"), 2), ERROR_ACCESS_DENIED)
      << "a key opened for reading is not written";
  EXPECT_EQ(RegSetValueExA(k, "x", 0, REG_SZ, nullptr, 2), ERROR_NOACCESS);
  EXPECT_EQ(RegCloseKey(r), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(r), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  HKEY sub;
  EXPECT_EQ(RegOpenKeyExA(k, "", 0, KEY_READ, &sub), ERROR_SUCCESS) << "an empty subkey opens the key again";
  RegCloseKey(sub);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(static_cast<intptr_t>(0x1234)), "x", 0, KEY_READ, &sub),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(sub, nullptr);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Volatile", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &sub, nullptr),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(k);
  EXPECT_EQ(w32::openHandleCount(), 0);
}

TEST_F(RegistryTest, TheFileFormat) {
  HKEY k = create(HKEY_LOCAL_MACHINE, kKey);
  setText(k, "MainDir", "c:\\dunmere");
  setDword(k, "Flags", 16);
  setText(k, "Quote", "say \"hi\"");
  EXPECT_EQ(RegSetValueExA(k, "Lines", 0, REG_SZ, reinterpret_cast<const BYTE *>("a\r\nb"), 5), ERROR_SUCCESS);
  const BYTE blob[] = {1, 0xAB};
  EXPECT_EQ(RegSetValueExA(k, "Blob", 0, REG_BINARY, blob, 2), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(k, "Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>("a\0\0"), 3), ERROR_SUCCESS);
  setText(k, "maindir", "c:\\other"); // the same value: its place and spelling stay
  RegCloseKey(k);
  HKEY u = create(HKEY_CURRENT_USER, "Software\\a");
  setDword(u, "", 1);
  RegCloseKey(u);
  RegCloseKey(create(HKEY_CLASSES_ROOT, ".qv"));
  EXPECT_EQ(readHost(regFile()),
            "REGEDIT4\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Classes]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Classes\\.qv]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\DunmereNetwork]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\DunmereNetwork\\Quorvel]\n"
            "\"MainDir\"=\"c:\\\\other\"\n"
            "\"Flags\"=dword:00000010\n"
            "\"Quote\"=\"say \\\"hi\\\"\"\n"
            "\"Lines\"=hex(1):61,0d,0a,62,00\n"
            "\"Blob\"=hex:01,ab\n"
            "\"Multi\"=hex(7):61,00,00\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software]\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\a]\n"
            "@=dword:00000001\n"
            "\n");
}

TEST_F(RegistryTest, AFileWrittenByHandReadsBack) {
  writeHost(regFile(),
            "REGEDIT4\r\n"
            "\r\n"
            "; kept by hand\r\n"
            "[hkey_local_machine\\SOFTWARE\\DunmereNetwork\\Quorvel]\r\n"
            "\"MainDir\"=\"d:\\\\net\"\r\n"
            "\"Long\"=hex:01,02,\\\r\n"
            "  03,04\r\n"
            "\"Flags\"=dword:0000001f\r\n");
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, kKey, "MainDir"), std::string("d:\\net\0", 7));
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, kKey, "Long"), "\x01\x02\x03\x04");
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, kKey, "Flags"), std::string("\x1f\0\0\0", 4));
  // A write keeps what was there, in the layer's own layout.
  HKEY k = create(HKEY_LOCAL_MACHINE, kKey);
  setText(k, "New", "n");
  RegCloseKey(k);
  std::string text = readHost(regFile());
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\DunmereNetwork\\Quorvel]\n\"MainDir\"=\"d:\\\\net\"\n"
                      "\"Long\"=hex:01,02,03,04\n\"Flags\"=dword:0000001f\n\"New\"=\"n\"\n"),
            std::string::npos)
      << text;
}

// "a\a\..." levels deep below HKEY_LOCAL_MACHINE.
std::string deepPath(size_t levels) {
  std::string path = "HKEY_LOCAL_MACHINE";
  for (size_t i = 0; i < levels; ++i) path += "\\a";
  return path;
}

TEST_F(RegistryTest, ACorruptFileIsNeverOverwritten) {
  const std::string bad[] = {
      "not a registry\n",
      "REGEDIT4\n\n\"Orphan\"=\"no key\"\n",
      "REGEDIT4\n\n[HKEY_NOWHERE\\x]\n",
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\x]\n\"v\"=dword:12\n",
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\x]\n\"v\"=hex:1,zz\n",
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\x]\n\"v=\"unterminated\n",
      // What Windows refuses: a key name over 255 characters, a tree deeper
      // than 512 levels (here 100,000: such a tree must not even be built).
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + std::string(256, 'n') + "]\n",
      "REGEDIT4\n\n[" + deepPath(513) + "]\n",
      "REGEDIT4\n\n[" + deepPath(100000) + "]\n",
  };
  for (const std::string &text : bad) {
    SCOPED_TRACE(text.substr(0, 80));
    writeHost(regFile(), text);
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "y", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "x", 0, KEY_READ, &k), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(readHost(regFile()), text);
  }
}

// Keys may go 512 levels deep, no deeper; such a tree is written and read
// back whole.
TEST_F(RegistryTest, DepthLimit) {
  std::string sub = deepPath(512).substr(strlen("HKEY_LOCAL_MACHINE\\"));
  HKEY k = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (sub + "\\b").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                            nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(k, nullptr);
  HKEY half = create(HKEY_LOCAL_MACHINE, sub.substr(0, 2 * 300 - 1).c_str());
  EXPECT_EQ(RegCreateKeyExA(half, sub.substr(0, 2 * 213 - 1).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                            nullptr),
            ERROR_INVALID_PARAMETER)
      << "counted from the root, not from the handle";
  RegCloseKey(half);
  k = create(HKEY_LOCAL_MACHINE, sub.c_str());
  setText(k, "deep", "yes");
  RegCloseKey(k);
  // Read again from the file, not from what this process holds.
  writeHost(regFile(), readHost(regFile()) + "; touched\n");
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, sub.c_str(), "deep"), std::string("yes\0", 4));
}

// One key with 20,000 values and 20,000 subkeys, enumerated and each value
// looked up by name: linear work, not a parse of the file per call.  The
// time bound only stops a runaway; the measure is bench/registry_bench.
TEST_F(RegistryTest, AKeyWithManyValuesAndSubkeys) {
  const int n = 20000;
  std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Big]\n";
  for (int i = 0; i < n; ++i) text += "\"v" + std::to_string(i) + "\"=dword:0000000" + std::to_string(i % 10) + "\n";
  for (int i = 0; i < n; ++i) text += "\n[HKEY_LOCAL_MACHINE\\Big\\k" + std::to_string(i) + "]\n";
  writeHost(regFile(), text);
  auto start = std::chrono::steady_clock::now();
  auto runaway = [&] { return std::chrono::steady_clock::now() - start > std::chrono::seconds(20); };
  HKEY k;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Big", 0, KEY_READ, &k), ERROR_SUCCESS);
  int values = 0, matches = 0, keys = 0;
  char name[32];
  for (DWORD i = 0; !runaway(); ++i) {
    DWORD size = sizeof name, type = 0, v = 99, vsize = 4;
    if (RegEnumValueA(k, i, name, &size, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) break;
    ++values;
    if (RegQueryValueExA(k, name, nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &vsize) == ERROR_SUCCESS &&
        name == "v" + std::to_string(i) && v == i % 10)
      ++matches;
  }
  for (DWORD i = 0; !runaway(); ++i) {
    DWORD size = sizeof name;
    if (RegEnumKeyExA(k, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ++keys;
  }
  RegCloseKey(k);
  EXPECT_EQ(values, n);
  EXPECT_EQ(matches, n);
  EXPECT_EQ(keys, n);
}

// The tree kept between calls follows every change another program makes
// to the file: replaced whole (even by one of the same size), rewritten in
// place, moved away, removed, made again.
TEST_F(RegistryTest, ChangesFromOutsideAreSeenByTheNextCall) {
  auto file = [](const char *v) { return std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"") + v + "\"\n"; };
  auto v = [&] { return query(HKEY_LOCAL_MACHINE, "K", "v"); };
  writeHost(regFile(), file("one"));
  EXPECT_EQ(v(), std::string("one\0", 4));
  writeHost(regFile() + ".new", file("two"));
  ASSERT_EQ(rename((regFile() + ".new").c_str(), regFile().c_str()), 0);
  EXPECT_EQ(v(), std::string("two\0", 4)) << "replaced by a file of the same size";
  writeHost(regFile(), file("three"));
  EXPECT_EQ(v(), std::string("three\0", 6)) << "rewritten in place";
  ASSERT_EQ(rename(regFile().c_str(), (regFile() + ".old").c_str()), 0);
  EXPECT_EQ(v(), "(open error 2)") << "moved away";
  writeHost(regFile(), file("four"));
  EXPECT_EQ(v(), std::string("four\0", 5)) << "made again";
  ASSERT_EQ(remove(regFile().c_str()), 0);
  EXPECT_EQ(v(), "(open error 2)") << "removed";
}

// Only a regular file of a sane size is read: a FIFO, a device or a huge
// file fails every call at once (nothing hangs, nothing fills the memory),
// and the prefix tool names the file.
TEST_F(RegistryTest, OnlyARegularFileIsRead) {
  struct Case {
    const char *what;
    std::function<void(const std::string &)> make;
    const char *why;
  };
  const Case cases[] = {
      {"a FIFO", [](const std::string &f) { ASSERT_EQ(mkfifo(f.c_str(), 0600), 0); }, "not a regular file"},
      {"a link to /dev/zero", [](const std::string &f) { ASSERT_EQ(symlink("/dev/zero", f.c_str()), 0); },
       "not a regular file"},
      {"a directory", [](const std::string &f) { ASSERT_EQ(mkdir(f.c_str(), 0700), 0); }, "not a regular file"},
      {"65 MiB",
       [](const std::string &f) {
         writeHost(f, "REGEDIT4\n");
         ASSERT_EQ(truncate(f.c_str(), 65 << 20), 0);
       },
       "larger than 64 MiB"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    c.make(regFile());
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &k), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_REGISTRY_IO_FAILED);
    std::string out;
    FILE *p = popen((std::string(QV_W32PREFIX) + " reg query HKLM 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[512];
    while (size_t got = fread(buf, 1, sizeof buf, p)) out.append(buf, got);
    EXPECT_NE(pclose(p), 0);
    EXPECT_EQ(out, "w32prefix reg query: " + regFile() + ": " + c.why + ", not read\n");
    remove(regFile().c_str());
  }
}

TEST_F(RegistryTest, EnumerateAndDelete) {
  HKEY k = create(HKEY_LOCAL_MACHINE, "Software\\E");
  RegCloseKey(create(k, "zeta"));
  RegCloseKey(create(k, "Alpha"));
  setText(k, "b", "2");
  setText(k, "a", "1");
  char name[8];
  DWORD size = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Alpha") << "subkeys in order, ignoring case";
  size = 5;
  EXPECT_EQ(RegEnumKeyExA(k, 1, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "zeta");
  size = 4;
  EXPECT_EQ(RegEnumKeyExA(k, 1, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(k, 2, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  BYTE data[8];
  DWORD dataSize = sizeof data, type = 0;
  size = sizeof name;
  ASSERT_EQ(RegEnumValueA(k, 0, name, &size, nullptr, &type, data, &dataSize), ERROR_SUCCESS);
  EXPECT_STREQ(name, "b") << "values in the order they were set";
  EXPECT_EQ(dataSize, 2u);
  EXPECT_EQ(RegDeleteValueA(k, "B"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(k, "b"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software"), ERROR_ACCESS_DENIED) << "it has subkeys";
  EXPECT_EQ(RegDeleteKeyA(k, "ZETA"), ERROR_SUCCESS);
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, "Software\\E\\zeta", "x"), "(open error 2)");
  RegCloseKey(k);
}

TEST_F(RegistryTest, FaultsOfTheRegistryClass) {
  HKEY k = create(HKEY_LOCAL_MACHINE, kKey);
  std::string before = readHost(regFile());
  w32::armFault(w32::Fault::Registry, 1, true);
  DWORD v = 1;
  EXPECT_EQ(RegSetValueExA(k, "x", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4), ERROR_REGISTRY_IO_FAILED);
  HKEY other = reinterpret_cast<HKEY>(static_cast<intptr_t>(1));
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &other), ERROR_REGISTRY_IO_FAILED);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS) << "closing never fails";
  w32::clearFaults();
  EXPECT_EQ(readHost(regFile()), before);
  EXPECT_EQ(w32::callCount(w32::Fault::Registry), 3);
  EXPECT_EQ(w32::openHandleCount(), 0);
}

// Two processes set values at once: every value of both survives, and the
// file parses after each step (each write replaces it whole).
TEST_F(RegistryTest, TwoProcessesAtOnce) {
  RegCloseKey(create(HKEY_LOCAL_MACHINE, kKey));
  const int kWrites = 40;
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    children[p] = fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      int bad = 0;
      HKEY k;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) _exit(100);
      for (int i = 0; i < kWrites; ++i) {
        std::string name = "P" + std::to_string(p) + "_" + std::to_string(i);
        DWORD v = static_cast<DWORD>(i);
        if (RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4) != ERROR_SUCCESS)
          ++bad;
        // Reading the other process's values meanwhile never finds a torn file.
        DWORD size = 4;
        LONG rc = RegQueryValueExA(k, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size);
        if (rc != ERROR_SUCCESS || v != static_cast<DWORD>(i)) ++bad;
      }
      RegCloseKey(k);
      _exit(bad > 99 ? 99 : bad);
    }
  }
  for (pid_t c : children) {
    int status = 0;
    ASSERT_EQ(waitpid(c, &status, 0), c);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed calls in a child";
  }
  HKEY k;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &k), ERROR_SUCCESS);
  int found = 0;
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kWrites; ++i) {
      std::string name = "P" + std::to_string(p) + "_" + std::to_string(i);
      DWORD v = 0xFFFF, size = 4;
      if (RegQueryValueExA(k, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size) == ERROR_SUCCESS &&
          v == static_cast<DWORD>(i))
        ++found;
    }
  }
  RegCloseKey(k);
  EXPECT_EQ(found, 2 * kWrites) << "an update was lost";
}

} // namespace
