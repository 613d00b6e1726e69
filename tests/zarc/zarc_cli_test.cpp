// zarc and mkpackage end to end: the built programs on real files.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
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

  // Runs zarc with `args` (which may redirect its streams); returns the
  // exit status, what it printed and did not redirect in *out.
  int zarc(const std::string &args, std::string *out = nullptr) {
    std::string log = path("log");
    int status = std::system(("{ " + std::string(ZARC_PATH) + " " + args + "; } >'" + log + "' 2>&1").c_str());
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
  // Files, and pipes through "-" (where --auto cannot read its input twice).
  const std::string in = path("in"), z = path("in.z"), out = path("out");
  struct Case {
    std::string implode, explode;
  } cases[] = {
      {"implode " + in + " " + z, "explode " + z + " " + out},
      {"implode --binary " + in + " " + z, "explode - " + out + " <" + z},
      {"implode --ascii --dict 4 " + in + " " + z, "explode " + z + " - >" + out},
      {"implode --auto --dict 5 - " + z + " <" + in, "explode " + z + " " + out},
      {"implode --dict 6 --auto - - <" + in + " >" + z, "explode -v - - <" + z + " >" + out},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.implode);
    std::string log;
    ASSERT_EQ(zarc(c.implode, &log), 0) << log;
    Bytes stream = readBytes(z);
    ASSERT_GE(stream.size(), 5u);
    EXPECT_LT(stream.size(), data.size());
    ASSERT_EQ(zarc(c.explode, &log), 0) << log;
    EXPECT_TRUE(readBytes(out) == data);
  }
  std::string log;
  ASSERT_EQ(zarc("implode -v " + in + " " + z, &log), 0);
  EXPECT_NE(log.find("170000 -> " + std::to_string(readBytes(z).size()) + " bytes (compressed to "), std::string::npos)
      << log;
}

// A stream the decoder rejects exits 1, names the decoder's result, and
// leaves the output file as it was; through a pipe the bytes decoded up to
// then have gone out, and are counted.
TEST_F(ZarcCli, ExplodeReportsTheDecoderResult) {
  Bytes data = textBytes(20000, 4);
  Bytes stream = encode(ImplodeMode::Ascii, 6, data);
  Bytes truncated(stream.begin(), stream.begin() + stream.size() / 2);
  struct Case {
    const char *name;
    Bytes input;
    const char *message;
  } cases[] = {
      {"truncated", truncated, "4 UnexpectedEnd"},
      {"dictionary 7", {0, 7, 0x82, 0x02, 0xFE, 0x01}, "1 BadDictionarySize"},
      {"type 2", {2, 6, 0x82, 0x02, 0xFE, 0x01}, "2 BadCompressionType"},
      {"four bytes", {0, 6, 0x01, 0xFF}, "3 InputTooShort"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(path("bad.z"), c.input);
    writeBytes(path("out"), Bytes{'o', 'l', 'd'});
    std::string out;
    EXPECT_EQ(zarc("explode " + path("bad.z") + " " + path("out"), &out), 1);
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(readBytes(path("out")), (Bytes{'o', 'l', 'd'}));
  }
  writeBytes(path("bad.z"), truncated);
  std::string log;
  EXPECT_EQ(zarc("explode " + path("bad.z") + " - >" + path("out"), &log), 1);
  Bytes partial = readBytes(path("out"));
  EXPECT_GT(partial.size(), 0u);
  EXPECT_TRUE(std::equal(partial.begin(), partial.end(), data.begin()));
  EXPECT_NE(log.find("after " + std::to_string(partial.size()) + " bytes"), std::string::npos) << log;
}

// Every error: its exit status (2 usage, 3 a file, 1 bad data), in the
// shape "zarc COMMAND: what: why", naming what was wrong.
TEST_F(ZarcCli, ErrorsHaveTheirStatusAndSayWhatIsWrong) {
  writeBytes(path("in"), textBytes(100, 1));
  writeBytes(path("Applet.class"), textBytes(100, 1));
  writeBytes(path("zero.z"), Bytes{0, 0, 0, 0, 'x'});
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  ASSERT_EQ(zarc("create " + path("a.z") + " " + path("in")), 0);
  const std::string in = path("in"), o = path("o");
  struct Case {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"", 2, "zarc: no command"},
      {"frobnicate a b", 2, "zarc: unknown command frobnicate"},
      {"--frob", 2, "unknown option --frob"},
      {"implode " + in, 2, "zarc implode: needs IN and OUT"},
      {"implode --dict 7 " + in + " " + o, 2, "--dict 7: must be 4, 5 or 6"},
      {"implode --dict ", 2, "--dict: needs a value"},
      {"implode --fast " + in + " " + o, 2, "zarc implode: unknown option --fast"},
      {"explode -x " + in + " " + o, 2, "zarc explode: unknown option -x"},
      {"implode " + path("missing") + " " + o, 3, "zarc implode: " + path("missing") + ": cannot open"},
      {"explode " + in + " " + path("no/such/dir/o"), 3, "zarc explode: " + path("no/such/dir/o")},
      {"implode " + in + " " + path("no/such/dir/o"), 3, "zarc implode: "},
      {"create " + o, 2, "no FILE to put in it"},
      {"create " + o + " " + in + " --ascii", 2, "--ascii: comes after the last FILE"},
      {"create " + o + " " + path("sub"), 2, path("sub") + ": is a directory"},
      {"create " + o + " " + path("Applet.class"), 2, "'Applet.class' cannot be a member name: not an 8.3 name"},
      {"create " + o + " averylongname.txt=" + in, 2, "longer than 12 characters"},
      {"create " + o + " nul.txt=" + in, 2, "not a plain file name"},
      {"create " + o + " " + in + " IN=" + in, 2, "two members named 'in' and 'IN'"},
      {"create " + o + " -z " + in, 2, "zarc create: unknown option -z"},
      {"list " + in, 1, "zarc list: " + in + ": not a package archive (-v says why)"},
      {"test -v " + in, 1, "not a package archive (the file is shorter than its directory"},
      {"list -v " + path("zero.z"), 1, "not a package archive (its member count is 0, yet 1 more bytes follow)"},
      {"extract -o -n " + path("a.z"), 2, "-o and -n: exclude each other"},
      {"extract -d " + path("x") + " " + path("a.z") + " nosuch", 1, "no member named 'nosuch'"},
      {"extract " + path("a.z") + " -d " + dir_, 3, path("in") + " exists; nothing extracted (-o overwrites"},
      {"test " + path("a.z"), 0, "The format keeps no checksum; checked: every member's data lie inside"},
  };
  for (const Case &c : cases) {
    std::string out;
    EXPECT_EQ(zarc(c.args, &out), c.status) << "zarc " << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << "zarc " << c.args << "\n" << out;
  }
  EXPECT_NE(access(o.c_str(), F_OK), 0) << "a failed run left its output file";
  for (const char *command : {"", "create ", "list ", "test ", "extract ", "implode ", "explode "}) {
    std::string help, version;
    EXPECT_EQ(zarc(std::string(command) + "--help", &help), 0) << command;
    EXPECT_NE(help.find("exit status: 0 success, 1 bad data"), std::string::npos) << command;
    EXPECT_EQ(zarc(std::string(command) + "--version", &version), 0) << command;
    EXPECT_EQ(version, "zarc (Quorvel Setup) 1.0\n") << command;
  }
}

// extract: where to, what, and what becomes of a file already there.
TEST_F(ZarcCli, ExtractChoosesWhatAndWhere) {
  const Bytes a = textBytes(3000, 5), b = randomBytes(2000, 6), old{'o', 'l', 'd'};
  writeBytes(path("a.txt"), a);
  writeBytes(path("b.bin"), b);
  ASSERT_EQ(zarc("create " + path("p.z") + " " + path("a.txt") + " B.BIN=" + path("b.bin")), 0);
  const std::string out = path("new/deeper");
  struct Case {
    std::string options, members;
    bool oldThere;  // out/a.txt holds "old" before the run
    int status;
    Bytes wantA, wantB;  // empty: no such file afterwards
    std::string log;     // in what the run printed
  } cases[] = {
      {"", "", false, 0, a, b, ""},
      {"", "", true, 3, old, {}, "a.txt exists"},
      {"-o -v", "", true, 0, a, b, "extracted  " + out + "/B.BIN (2000 bytes)"},
      {"-n -v", "", true, 0, old, b, "kept       " + out + "/a.txt"},
      {"-o", "b.bin", true, 0, old, b, ""},
      {"-q", "A.TXT", false, 0, a, {}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options + " " + c.members + (c.oldThere ? " over a.txt" : ""));
    std::system(("rm -rf '" + path("new") + "'").c_str());
    if (c.oldThere) {
      ASSERT_EQ(std::system(("mkdir -p '" + out + "'").c_str()), 0);
      writeBytes(out + "/a.txt", old);
    }
    std::string log;
    EXPECT_EQ(zarc("extract -d " + out + " " + c.options + " " + path("p.z") + " " + c.members, &log), c.status)
        << log;
    EXPECT_NE(log.find(c.log), std::string::npos) << log;
    EXPECT_EQ(readBytes(out + "/a.txt"), c.wantA);
    EXPECT_EQ(readBytes(out + "/B.BIN"), c.wantB);
  }
  // -p: the members, one after another, on standard output; no files.
  std::system(("rm -rf '" + path("new") + "'").c_str());
  EXPECT_EQ(zarc("extract -p -d " + out + " " + path("p.z") + " >" + path("piped")), 0);
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(readBytes(path("piped")), both);
  EXPECT_NE(access(out.c_str(), F_OK), 0);
}

// No command writes over one of its inputs or waits on a FIFO to read.
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
      {"implode onto its input", "implode " + path("in") + " " + path("in"), 3, [] {}},
      {"explode onto its input", "explode " + path("in") + " " + path("in"), 3, [] {}},
      {"implode onto a hard link of its input", "implode " + path("in") + " " + path("link"), 3,
       [&] { ASSERT_EQ(link(path("in").c_str(), path("link").c_str()), 0); }},
      {"create over a member", "create " + path("in") + " " + path("in"), 3, [] {}},
      {"extract a member named like the archive beside it", "extract -o -d " + dir_ + " " + path("in"), 3,
       [&] { ASSERT_EQ(zarc("create " + path("a.z") + " " + path("in")), 0); rename(path("a.z").c_str(), path("in").c_str()); }},
      {"a missing input", "implode " + path("missing") + " " + path("o"), 3, [] {}},
      {"a FIFO to implode", "implode " + path("fifo") + " " + path("o"), 3,
       [&] { ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0); }},
      {"a FIFO to explode", "explode " + path("fifo") + " " + path("o"), 3,
       [&] { ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0); }},
      {"a FIFO to pack", "create " + path("o") + " " + path("fifo"), 3,
       [&] { ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0); }},
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
    if (c.status == 3) {
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

// Runs a program through the memory probe; its exit status (-1 if it did
// not exit) and the most memory it held, in KiB.
int runMeasured(const std::vector<std::string> &args, long *maxKiB) {
  std::string command = MEMORY_PROBE_PATH;
  for (const std::string &a : args) command += " '" + a + "'";
  FILE *p = popen(command.c_str(), "r");
  int status = -1;
  if (!p) return -1;
  if (fscanf(p, "%d %ld", &status, maxKiB) != 2) status = -1;
  pclose(p);
  return status;
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
  writeBytes(path("quorvel.exe"), Bytes{'s'});
  std::vector<std::string> args = {MKPACKAGE_PATH, "--out", path("pkg"), "--generate", "--size", "100663296",
                                   "--quorvel-member", path("quorvel.exe")};
  for (const char *name : {"netscape.z", "plugins.z", "javaclss.z", "readme.txt", "nprogram.z", "javabin.z",
                           "wsystem.z"})
    args.insert(args.end(), {"--file", std::string(name) + "=" + path("small")});
  EXPECT_EQ(runMeasured(args, &maxKiB), 0);
  struct stat st;
  ASSERT_EQ(stat(path("pkg/nsystem.z").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 100663296);
  EXPECT_LT(maxKiB, 48 * 1024);
}

// mkpackage's exit statuses and messages, and a printed plan that lays
// out the same package as the command line it came from.
TEST_F(ZarcCli, MkpackageStatusesAndPlans) {
  auto mkpackage = [&](const std::string &args, std::string *out) {
    int status = std::system((std::string(MKPACKAGE_PATH) + " " + args + " >'" + path("log") + "' 2>&1").c_str());
    *out = readText(path("log"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  writeBytes(path("in"), textBytes(3000, 1));
  ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
  writeBytes(path("d/IN"), textBytes(3000, 2));
  writeBytes(path("two"), textBytes(3000, 2));
  const std::string pkg = " --out " + path("p");
  const struct {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {pkg + " --bogus", 2, "mkpackage: unknown option --bogus\nTry 'mkpackage --help'."},
      {pkg + " extra", 2, "mkpackage: unexpected argument extra"},
      {pkg + " --disk-size 1.44M", 2, "--disk-size needs a number of bytes"},
      {"--plan " + path("none.plan"), 3, "mkpackage: " + path("none.plan") + ": No such file"},
      {pkg + " --generate --file readme.txt=" + path("none"), 3, "cannot open " + path("none")},
      {pkg + " --file notes.txt=" + path("in"), 1, "mkpackage: cannot lay out " + path("p") + ": 'notes.txt' is not"},
      {pkg + " --quorvel-member " + path("in") + " --quorvel-member " + path("d/IN"), 1,
       "quorvel.z cannot hold " + path("d/IN") + " as 'IN': two members of that name"},
      {pkg + " --generate --set Colour=red -q", 0, "mkpackage: warning: setup.ini key 'Colour' is not read"},
      {"--help", 0, "exit status: 0 success, 1 bad data"},
      {"--version", 0, "mkpackage (Quorvel Setup) 1.0\n"},
  };
  for (const auto &c : cases) {
    std::string out;
    EXPECT_EQ(mkpackage(c.args, &out), c.status) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
  }
  writeBytes(path("quorvel.exe"), textBytes(3000, 3));
  const std::string members = " --generate --disks --ascii --quorvel-member " + path("in") +
                              " --binary --quorvel-member " + path("two") + " --quorvel-member " +
                              path("quorvel.exe") + " --dict 4";
  std::string direct, planned, plan;
  ASSERT_EQ(mkpackage("--out " + path("a") + members, &direct), 0) << direct;
  ASSERT_EQ(mkpackage("--out " + path("b") + members + " --print-plan", &plan), 0) << plan;
  std::ofstream(path("b.plan")) << plan;
  ASSERT_EQ(mkpackage("--plan " + path("b.plan"), &planned), 0) << planned;
  EXPECT_EQ(planned, direct);
  EXPECT_EQ(readBytes(path("b/disk2/quorvel.z")).size(), readBytes(path("a/disk2/quorvel.z")).size());
}

}  // namespace
