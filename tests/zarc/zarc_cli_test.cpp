// zarc and mkpackage end to end: the built programs on real files.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "implode_test_support.h"

namespace {

class ZarcCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zarc_cli_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  // Runs zarc with `args`; returns the exit status, output in *out.
  int zarc(const std::string &args, std::string *out = nullptr) {
    std::string log = path("log");
    int status = std::system((std::string(ZARC_PATH) + " " + args + " >'" + log + "' 2>&1").c_str());
    if (out) *out = readText(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static std::string readText(const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  static Bytes readBytes(const std::string &p) {
    std::string s = readText(p);
    return Bytes(s.begin(), s.end());
  }
  static void writeBytes(const std::string &p, const Bytes &b) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
  }

  std::string dir_;
};

TEST_F(ZarcCli, ImplodeThenExplodeGivesTheSameBytes) {
  Bytes data = textBytes(150000, 2);
  Bytes noise = randomBytes(20000, 3);
  data.insert(data.end(), noise.begin(), noise.end());
  writeBytes(path("in"), data);
  const char *const options[] = {"", "--binary", "--ascii --dict 4", "--auto --dict 5", "--dict 6 --auto"};
  for (const char *opt : options) {
    SCOPED_TRACE(opt);
    std::string out;
    ASSERT_EQ(zarc(std::string("implode ") + opt + " " + path("in") + " " + path("in.z"), &out), 0) << out;
    Bytes stream = readBytes(path("in.z"));
    ASSERT_GE(stream.size(), 5u);
    EXPECT_LT(stream.size(), data.size());
    ASSERT_EQ(zarc("explode " + path("in.z") + " " + path("out"), &out), 0) << out;
    EXPECT_TRUE(readBytes(path("out")) == data);
  }
}

TEST_F(ZarcCli, ExplodeReportsTheDecoderResult) {
  Bytes data = textBytes(20000, 4);
  Bytes stream = encode(ImplodeMode::Ascii, 6, data);
  Bytes truncated(stream.begin(), stream.begin() + stream.size() / 2);
  struct Case {
    const char *name;
    Bytes input;
    int status;
    const char *message;
  } cases[] = {
      {"truncated", truncated, 4, "UnexpectedEnd"},
      {"dictionary 7", {0, 7, 0x82, 0x02, 0xFE, 0x01}, 1, "BadDictionarySize"},
      {"type 2", {2, 6, 0x82, 0x02, 0xFE, 0x01}, 2, "BadCompressionType"},
      {"four bytes", {0, 6, 0x01, 0xFF}, 3, "InputTooShort"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(path("bad.z"), c.input);
    std::string out;
    EXPECT_EQ(zarc("explode " + path("bad.z") + " " + path("out"), &out), c.status);
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  }
  // The bytes decoded before the input ran out are written, and counted.
  writeBytes(path("bad.z"), truncated);
  std::string out;
  zarc("explode " + path("bad.z") + " " + path("out"), &out);
  Bytes partial = readBytes(path("out"));
  EXPECT_GT(partial.size(), 0u);
  EXPECT_TRUE(std::equal(partial.begin(), partial.end(), data.begin()));
  EXPECT_NE(out.find(std::to_string(partial.size()) + " bytes"), std::string::npos) << out;
}

TEST_F(ZarcCli, UsageAndFileErrorsHaveTheirOwnStatus) {
  writeBytes(path("in"), textBytes(100, 1));
  struct Case {
    std::string args;
    int status;
  } cases[] = {
      {"", 64},
      {"frobnicate a b", 64},
      {"implode " + path("in"), 64},
      {"implode --dict 7 " + path("in") + " " + path("o"), 64},
      {"implode --dict " , 64},
      {"implode --fast " + path("in") + " " + path("o"), 64},
      {"explode " + path("in"), 64},
      {"implode " + path("missing") + " " + path("o"), 65},
      {"explode " + path("missing") + " " + path("o"), 65},
      {"implode " + path("in") + " " + path("no/such/dir/o"), 65},
      {"explode " + path("in") + " " + path("no/such/dir/o"), 65},
  };
  for (const Case &c : cases) {
    std::string out;
    EXPECT_EQ(zarc(c.args, &out), c.status) << "zarc " << c.args << "\n" << out;
    EXPECT_FALSE(out.empty()) << "zarc " << c.args << " says nothing";
  }
  EXPECT_NE(access(path("o").c_str(), F_OK), 0) << "a failed run left its output file";
  std::string help;
  EXPECT_EQ(zarc("--help", &help), 0);
  for (const char *word : {"implode", "explode", "64", "65", "UnexpectedEnd"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
}

// No command writes over one of its inputs, waits on a FIFO, or writes
// through a link planted where it works: each output goes to a new
// temporary file beside it and is renamed into place when complete.
TEST_F(ZarcCli, NoInputIsEverWrittenOver) {
  const Bytes in = textBytes(5000, 4);
  const Bytes victim{'v'};
  struct Case {
    const char *what;
    std::string args;
    int status;
    std::function<void()> prepare;
  };
  const Case cases[] = {
      {"implode onto its input", "implode " + path("in") + " " + path("in"), 65, [] {}},
      {"explode onto its input", "explode " + path("in") + " " + path("in"), 65, [] {}},
      {"implode onto a hard link of its input", "implode " + path("in") + " " + path("link"), 65,
       [&] { ASSERT_EQ(link(path("in").c_str(), path("link").c_str()), 0); }},
      {"create over a member", "create " + path("in") + " " + path("in"), 65, [] {}},
      {"extract a member named like the archive beside it", "extract " + path("in") + " " + dir_, 1,
       [&] { ASSERT_EQ(zarc("create " + path("a.z") + " " + path("in")), 0); rename(path("a.z").c_str(), path("in").c_str()); }},
      {"a missing input", "implode " + path("missing") + " " + path("o"), 65, [] {}},
      {"a FIFO to implode", "implode " + path("fifo") + " " + path("o"), 65,
       [&] { ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0); }},
      {"a FIFO to explode", "explode " + path("fifo") + " " + path("o"), 65,
       [&] { ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0); }},
      {"a FIFO to list", "list " + path("fifo"), 65, [&] { ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0); }},
      {"a FIFO to pack", "create " + path("o") + " " + path("fifo"), 65,
       [&] { ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0); }},
      {"links where create works", "create " + path("o") + " " + path("in"), 0, [&] {
         ASSERT_EQ(symlink(path("victim").c_str(), path("o.tmp").c_str()), 0);
         ASSERT_EQ(symlink(path("victim").c_str(), path("o").c_str()), 0);
       }},
      {"a link where implode writes", "implode " + path("in") + " " + path("o"), 0,
       [&] { ASSERT_EQ(symlink(path("victim").c_str(), path("o").c_str()), 0); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::system(("rm -rf '" + dir_ + "' && mkdir '" + dir_ + "'").c_str());
    writeBytes(path("in"), in);
    writeBytes(path("victim"), victim);
    c.prepare();
    Bytes before = readBytes(path("in"));
    std::string out;
    EXPECT_EQ(zarc(c.args, &out), c.status) << out;
    if (c.status == 65) {
      EXPECT_NE(out, "");
    }
    EXPECT_EQ(readBytes(path("in")), before);
    EXPECT_EQ(readBytes(path("victim")), victim);
    struct stat st;
    if (c.status == 0) {
      ASSERT_EQ(lstat(path("o").c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
    } else {
      EXPECT_NE(lstat(path("o").c_str(), &st), 0) << "no output left behind";
    }
    DIR *d = opendir(dir_.c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent *e = readdir(d)) {
      std::string n = e->d_name;
      EXPECT_TRUE(n == "." || n == ".." || n[0] != '.') << "a temporary file left: " << n;
    }
    closedir(d);
  }
}

// Runs a program with its output thrown away; its exit status (-1 if it
// did not exit) and the most memory it held, in KiB.
int runMeasured(std::vector<std::string> args, long *maxKiB) {
  pid_t child = fork();
  if (child == 0) {
    // Under AddressSanitizer freed blocks are held back for a while: that
    // memory is the sanitizer's, not the program's.
    const char *asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=1").c_str(), 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return -1;
  *maxKiB = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Memory stays flat whatever the size: zarc list streams its report (a
// sparse archive claiming 300,000 entries, whose reports kept whole took
// some 80 MB), and mkpackage streams a generated payload of 96 MiB.
TEST_F(ZarcCli, MemoryStaysFlat) {
  {
    std::ofstream f(path("sparse.z"), std::ios::binary);
    const unsigned char count[4] = {0xE0, 0x93, 0x04, 0x00};  // 300,000
    f.write(reinterpret_cast<const char *>(count), 4);
  }
  ASSERT_EQ(truncate(path("sparse.z").c_str(), 4 + 29 * 300000), 0);
  long maxKiB = 0;
  EXPECT_EQ(runMeasured({ZARC_PATH, "list", path("sparse.z")}, &maxKiB), 1) << "every entry is bad";
  EXPECT_LT(maxKiB, 32 * 1024);

  writeBytes(path("small"), Bytes{'s'});
  std::vector<std::string> args = {MKPACKAGE_PATH, "--out", path("pkg"), "--generate", "--size", "100663296",
                                   "--quorvel-member", path("small")};
  for (const char *name : {"netscape.z", "plugins.z", "javaclss.z", "readme.txt", "nprogram.z", "javabin.z",
                           "wsystem.z"})
    args.insert(args.end(), {"--file", std::string(name) + "=" + path("small")});
  EXPECT_EQ(runMeasured(args, &maxKiB), 0);
  struct stat st;
  ASSERT_EQ(stat(path("pkg/nsystem.z").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 100663296);
  EXPECT_LT(maxKiB, 48 * 1024);
}

}  // namespace
