// zarc and mkpackage end to end: the built programs on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "zarc_test_support.h"

namespace {

class ZarcCli : public ToolTest {};

TEST_F(ZarcCli, ImplodeThenExplodeGivesTheSameBytes) {
  Bytes data = textBytes(150000, 2);
  Bytes noise = randomBytes(20000, 3);
  data.insert(data.end(), noise.begin(), noise.end());
  writeBytes(path("in"), data);
  // Files, and pipes through "-" (where --auto cannot read its input twice).
  const struct {
    const char *implode, *explode;
  } cases[] = {
      {"implode in in.z", "explode in.z out"},
      {"implode --binary in in.z", "explode - out <in.z"},
      {"implode --ascii --dict 4 in in.z", "explode in.z - >out"},
      {"implode --auto --dict 5 - in.z <in", "explode in.z out"},
      {"implode --dict 6 --auto - - <in >in.z", "explode -v - - <in.z >out"},
      {"implode --best in in.z", "explode in.z out"},
      {"implode --best --ascii --dict 4 - - <in >in.z", "explode in.z out"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.implode);
    std::string log;
    ASSERT_EQ(zarc(c.implode, &log), 0) << log;
    Bytes stream = readBytes(path("in.z"));
    ASSERT_GE(stream.size(), 5u);
    EXPECT_LT(stream.size(), data.size());
    ASSERT_EQ(zarc(c.explode, &log), 0) << log;
    EXPECT_TRUE(readBytes(path("out")) == data);
  }
  std::string log;
  ASSERT_EQ(zarc("implode -v in in.z", &log), 0);
  const std::string sizes = std::to_string(readBytes(path("in.z")).size());
  EXPECT_NE(log.find("170000 -> " + sizes + " bytes (compressed to "), std::string::npos) << log;
}

// A stream the decoder rejects exits 1, names the decoder's result, and
// leaves the output file as it was; through a pipe or a FIFO the bytes
// decoded up to then have gone out, and the error says so.
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
    writeText(path("out"), "old");
    std::string out;
    EXPECT_EQ(zarc("explode bad.z out", &out), 1);
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(readText(path("out")), "old");
  }
  writeBytes(path("bad.z"), truncated);
  const struct {
    std::string command, said;
  } streams[] = {
      {kZarc + " explode bad.z - >out", "; those bytes went to standard output"},
      {"mkfifo fifo && { cat fifo >out & } && " + kZarc + " explode bad.z fifo; s=$?; wait; exit $s",
       "; those bytes went to fifo"},
  };
  for (const auto &c : streams) {
    std::string log;
    ASSERT_EQ(run("rm -f out fifo"), 0);
    EXPECT_EQ(run(c.command, &log), 1) << log;
    Bytes partial = readBytes(path("out"));
    EXPECT_GT(partial.size(), 0u);
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), data.begin()));
    EXPECT_NE(log.find("after " + std::to_string(partial.size()) + " bytes decoded" + c.said), std::string::npos) << log;
  }
}

// Every error: its exit status (2 usage, 3 a file, 1 bad data), in the
// shape "zarc COMMAND: what: why", naming what was wrong.
TEST_F(ZarcCli, ErrorsHaveTheirStatusAndSayWhatIsWrong) {
  writeBytes(path("in"), textBytes(100, 1));
  writeBytes(path("Applet.class"), textBytes(100, 1));
  writeBytes(path("zero.z"), Bytes{0, 0, 0, 0, 'x'});
  ASSERT_EQ(run("mkdir sub && " + kZarc + " create a.z in"), 0);
  const struct {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"", 2, "zarc: no command"},
      {"frobnicate a b", 2, "zarc: unknown command frobnicate"},
      {"--frob", 2, "unknown option --frob"},
      {"implode in", 2, "zarc implode: needs IN and OUT"},
      {"implode --dict 7 in o", 2, "--dict 7: must be 4, 5 or 6"},
      {"implode --dict ", 2, "--dict: needs a value"},
      {"implode --fast in o", 2, "zarc implode: unknown option --fast"},
      {"explode -x in o", 2, "zarc explode: unknown option -x"},
      {"implode missing o", 3, "zarc implode: missing: cannot open"},
      {"explode in no/such/dir/o", 3, "zarc explode: no/such/dir/o"},
      {"implode in no/such/dir/o", 3, "zarc implode: "},
      {"create o", 2, "no FILE to put in it"},
      {"create o in --ascii", 2, "--ascii: comes after the last FILE"},
      {"create o sub", 2, "sub: is a directory"},
      {"create o Applet.class", 2, "'Applet.class' cannot be a member name: not an 8.3 name"},
      {"create o averylongname.txt=in", 2, "longer than 12 characters"},
      {"create o nul.txt=in", 2, "not a plain file name"},
      {"create o in IN=in", 2, "two members named 'in' and 'IN'"},
      {"create o -z in", 2, "zarc create: unknown option -z"},
      {"list in", 1, "zarc list: in: not a package archive (-v says why)"},
      {"test -v in", 1, "not a package archive (the file is shorter than its directory"},
      {"list -v zero.z", 1, "not a package archive (its member count is 0, yet 1 more bytes follow)"},
      {"extract -o -n a.z", 2, "-o and -n: exclude each other"},
      {"extract -d x a.z nosuch", 1, "no member named 'nosuch'"},
      {"extract a.z -d .", 3, "./in exists; nothing extracted (-o overwrites"},
      {"test -v a.z", 0, "1 of 1 member good\nThe format keeps no checksum; checked: every member's data lie"},
  };
  for (const auto &c : cases) {
    std::string out;
    EXPECT_EQ(zarc(c.args, &out), c.status) << "zarc " << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << "zarc " << c.args << "\n" << out;
  }
  EXPECT_NE(access(path("o").c_str(), F_OK), 0) << "a failed run left its output file";
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
  ASSERT_EQ(zarc("create --best p.z a.txt B.BIN=b.bin"), 0);
  struct Case {
    std::string options, members;
    bool oldThere;  // new/deeper/a.txt holds "old" before the run
    int status;
    Bytes wantA, wantB;  // empty: no such file afterwards
    std::string log;     // in what the run printed
  } cases[] = {
      {"", "", false, 0, a, b, ""},
      {"", "", true, 3, old, {}, "a.txt exists"},
      {"-o -v", "", true, 0, a, b, "extracted  new/deeper/B.BIN (2000 bytes)"},
      {"-n -v", "", true, 0, old, b, "kept       new/deeper/a.txt"},
      {"-o", "b.bin", true, 0, old, b, ""},
      {"-q", "A.TXT", false, 0, a, {}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options + " " + c.members + (c.oldThere ? " over a.txt" : ""));
    const char *before = c.oldThere ? "mkdir -p new/deeper && printf old >new/deeper/a.txt" : "true";
    ASSERT_EQ(run("rm -rf new && " + std::string(before)), 0);
    std::string log;
    EXPECT_EQ(zarc("extract -d new/deeper " + c.options + " p.z " + c.members, &log), c.status) << log;
    EXPECT_NE(log.find(c.log), std::string::npos) << log;
    EXPECT_EQ(readBytes(path("new/deeper/a.txt")), c.wantA);
    EXPECT_EQ(readBytes(path("new/deeper/B.BIN")), c.wantB);
  }
  // -p: the members, one after another, on standard output; no files.
  ASSERT_EQ(run("rm -rf new && " + kZarc + " extract -p -d new/deeper p.z >piped"), 0);
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(readBytes(path("piped")), both);
  EXPECT_NE(access(path("new").c_str(), F_OK), 0);
}

// No command writes over one of its inputs or waits on a FIFO to read: each
// fails (3), leaves its input, a file it was not given and its directory as
// they were, and makes no output.
TEST_F(ZarcCli, NoInputIsEverWrittenOver) {
  const Bytes in = textBytes(5000, 4);
  const struct {
    const char *what;
    std::string prepare, args;
  } cases[] = {
      {"implode onto its input", "", "implode in in"},
      {"explode onto its input", "", "explode in in"},
      {"implode onto a hard link of its input", "ln in link", "implode in link"},
      {"create over a member", "", "create in in"},
      {"extract a member named like the archive beside it", kZarc + " create a.z in && mv a.z in",
       "extract -o -d . in"},
      {"a missing input", "", "implode missing o"},
      {"a FIFO to implode", "mkfifo fifo", "implode fifo o"},
      {"a FIFO to explode", "mkfifo fifo", "explode fifo o"},
      {"a FIFO to pack", "mkfifo fifo", "create o fifo"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(run("rm -rf ./* && echo v >victim"), 0);
    writeBytes(path("in"), in);
    if (!c.prepare.empty()) {
      ASSERT_EQ(run(c.prepare), 0);
    }
    const Bytes before = readBytes(path("in"));
    std::string out;
    EXPECT_EQ(zarc(c.args, &out), 3) << out;
    EXPECT_NE(out, "");
    EXPECT_EQ(readBytes(path("in")), before);
    EXPECT_EQ(readText(path("victim")), "v\n");
    struct stat st;
    EXPECT_NE(lstat(path("o").c_str(), &st), 0) << "no output left behind";
    EXPECT_TRUE(temporaries(dir_).empty());
  }
}

// Memory stays flat whatever the size: zarc list streams its report (a
// sparse archive claiming 300,000 entries, whose reports kept whole took
// some 80 MB), mkpackage streams a generated payload of 96 MiB, and
// implode --best writes its parse out as it goes, long runs included (a
// parse kept to the end takes some 70 MB here).
TEST_F(ZarcCli, MemoryStaysFlat) {
  // The command's exit status, and the most memory it held in KiB.
  auto measured = [&](const std::string &command, long *maxKiB) {
    std::string out;
    int status = -1;
    EXPECT_EQ(run(MEMORY_PROBE_PATH " " + command, &out), 0);
    EXPECT_EQ(sscanf(out.c_str(), "%d %ld", &status, maxKiB), 2) << out;
    return status;
  };
  writeBytes(path("sparse.z"), {0xE0, 0x93, 0x04, 0x00});  // 300,000 entries
  ASSERT_EQ(truncate(path("sparse.z").c_str(), 4 + 29 * 300000), 0);
  long maxKiB = 0;
  EXPECT_EQ(measured(kZarc + " list sparse.z", &maxKiB), 1) << "every entry is bad";
  EXPECT_LT(maxKiB, 32 * 1024);

  writeText(path("small"), "s");
  writeText(path("quorvel.exe"), "s");
  std::string args = " --out pkg --generate --size 100663296 --quorvel-member quorvel.exe";
  for (const char *name : {"netscape.z", "plugins.z", "javaclss.z", "readme.txt", "nprogram.z", "javabin.z",
                           "wsystem.z"})
    args += std::string(" --file ") + name + "=small";
  EXPECT_EQ(measured(kMkpackage + args, &maxKiB), 0);
  struct stat st;
  ASSERT_EQ(stat(path("pkg/nsystem.z").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 100663296);
  EXPECT_LT(maxKiB, 48 * 1024);

  Bytes runsAndText(3 << 20, 0);
  Bytes text = textBytes(1 << 20, 9);
  runsAndText.insert(runsAndText.begin() + (1 << 20), text.begin(), text.end());
  writeBytes(path("big"), runsAndText);
  EXPECT_EQ(measured(kZarc + " implode --best big big.imp", &maxKiB), 0);
  EXPECT_LT(maxKiB, 32 * 1024);
  EXPECT_EQ(zarc("explode big.imp big.out && cmp big big.out"), 0);
}

// mkpackage's exit statuses and messages, and a printed plan that lays
// out the same package as the command line it came from.
TEST_F(ZarcCli, MkpackageStatusesAndPlans) {
  writeBytes(path("in"), textBytes(3000, 1));
  ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
  writeBytes(path("d/IN"), textBytes(3000, 2));
  writeBytes(path("two"), textBytes(3000, 2));
  const std::string pkg = kMkpackage + " --out p";
  const struct {
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {pkg + " --bogus", 2, "mkpackage: unknown option --bogus\nTry 'mkpackage --help'."},
      {pkg + " extra", 2, "mkpackage: unexpected argument extra"},
      {pkg + " --disk-size 1.44M", 2, "--disk-size needs a number of bytes"},
      {kMkpackage + " --plan none.plan", 3, "mkpackage: none.plan: No such file"},
      {pkg + " --generate --file readme.txt=none", 3, "cannot open none"},
      {pkg + " --file notes.txt=in", 1, "mkpackage: cannot lay out p: 'notes.txt' is not"},
      {pkg + " --quorvel-member in --quorvel-member d/IN", 1,
       "quorvel.z cannot hold d/IN as 'IN': two members of that name"},
      {pkg + " --generate --set Colour=red -q", 0, "mkpackage: warning: setup.ini key 'Colour' is not read"},
      {pkg + " --generate -q", 0, "mkpackage: warning: the package holds no setup program, so nothing installs it"},
      {pkg + " --generate --set \"$(printf 'RegNo=a\\r\\n[Evil]\\r\\nX=1')\"", 2,
       "mkpackage: argument 5 (after --set) holds a control character (0x0d)"},
      {pkg + " --generate --set '[Evil]=1'", 2, "mkpackage: --set setup.ini key [Evil]: a line starting with [ is a"},
      {kMkpackage + " --help", 0, "exit status: 0 success, 1 bad data"},
      {kMkpackage + " --version", 0, "mkpackage (Quorvel Setup) 1.0\n"},
  };
  for (const auto &c : cases) {
    std::string out;
    EXPECT_EQ(run(c.args, &out), c.status) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
  }
  writeBytes(path("quorvel.exe"), textBytes(3000, 3));
  const std::string members = " --generate --disks --ascii --quorvel-member in --binary --quorvel-member two"
                              " --quorvel-member quorvel.exe --dict 4 --best";
  std::string direct, planned, plan;
  ASSERT_EQ(run(kMkpackage + " --out a" + members, &direct), 0) << direct;
  ASSERT_EQ(run(kMkpackage + " --out b" + members + " --print-plan", &plan), 0) << plan;
  writeText(path("b.plan"), plan);
  ASSERT_EQ(run(kMkpackage + " --plan b.plan", &planned), 0) << planned;
  EXPECT_EQ(planned, direct);
  EXPECT_EQ(readBytes(path("b/disk2/quorvel.z")).size(), readBytes(path("a/disk2/quorvel.z")).size());
}

}  // namespace
