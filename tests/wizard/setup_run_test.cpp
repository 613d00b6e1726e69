// The real setup binary, run with answer files: its exit status, its errors,
// the transcript's last lines and what it leaves on the prefix.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "wizard_fixture.h"

namespace {

// The transcript's last line for each exit status.
const char *const kResult[] = {"installed", "cancelled", "answer file or usage error", "installed with errors",
                               "not started"};

bool contains(const std::vector<std::string> &lines, const std::string &line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Catches a run that ends with the wrong status, or a transcript whose last
// line does not say the same; a prompt not shown, or not answered as asked;
// a program started, or MainDir written, by a run that did not install; and
// an end state that is not what the run says.
TEST_F(WizardTest, BinaryRuns) {
  PackageResult package = makeTestPackage("pkg", false, false, 100000);
  PackageResult floppies = makeTestPackage("floppy", true, false);
  const std::string pkg = scratch + "/pkg", disks = scratch + "/floppy/disk", shared = scratch + "/shared";
  const unsigned long speed = 200000;  // the whole package would take about 5.5 s
  int lock = -1;
  const struct {
    const char *what;
    std::function<void()> before;  // after a fresh prefix with the package on D:
    std::string dir, answers;      // where the program runs from; its answer file
    std::vector<std::string> env;  // NAME=VALUE for the run
    long fileSizeLimit;
    int status;
    const char *said;               // a part of the standard error; nullptr: nothing at all
    std::vector<std::string> last;  // the transcript's last lines before the result, progress aside
    std::function<void(const BinaryRun &)> after;
  } cases[] = {
      {"a fresh install from a directory on D:", nullptr, pkg, kInstall, {}, 0, 0, nullptr,
       {"dialog id=4 event=show caption=\"Welcome to Quorvel!\"",
        "dialog id=4 event=press control=201",
        "dialog id=4 event=end",
        "dialog id=1 event=show caption=\"Quorvel Installation\"",
        "dialog id=1 event=press control=201",
        "dialog id=1 event=end",
        "dialog id=2 event=show caption=\"Quorvel Installation\" edit101=\"c:\\\\dunmere\"",
        "dialog id=2 event=press control=201 edit101=\"c:\\\\dunmere\"",
        "dialog id=2 event=end",
        "dialog id=3 event=show caption=\"Quorvel Installation\"",
        "status text=\"Adding Quorvel group...\"",
        "exec cmdline=\"c:\\\\dunmere\\\\quorvel\\\\quorvel.exe main\"",
        "dialog id=3 event=end"},
       [&](const BinaryRun &) {
         expectInstalled(package);
         EXPECT_EQ(quorvelValue("MainDir") + quorvelValue("RegNo") + quorvelValue("HomePage"),
                   "c:\\dunmere" "Q-1234" "http://www.dunmere.example/");
         EXPECT_NE(w32::progmanGroupsText().find("Item2=Read me|c:\\dunmere\\quorvel\\readme.txt"),
                   std::string::npos);
       }},
      {"three floppies on A:, disk 2 not in the drive when asked for",
       [&] { w32::mapDrive('a', disks + "1"); }, disks + "1",
       kInstall + "message \"Please insert the disk labeled \\\"Quorvel Disk #2\\\".\" OK\ninsert a: " + disks +
           "2\nmessage \"Please ensure that Quorvel Disk #2 is in drive a:\\\\.\" Retry\ninsert a: " + disks +
           "3\nmessage \"Please insert the disk labeled \\\"Quorvel Disk #3\\\".\" OK\n",
       {}, 0, 0, nullptr, {},
       [&](const BinaryRun &run) {
         EXPECT_TRUE(contains(lines(run.transcript), "message caption=\"Quorvel Installation\" text=\"Please "
                                                     "ensure that Quorvel Disk #2 is in drive a:\\\\.\" "
                                                     "icon=MB_ICONWARNING buttons=MB_RETRYCANCEL answer=Retry"));
         expectInstalled(floppies);
       }},
      {"an upgrade: the earlier directory offered and taken over, its WIN.INI section gone",
       [&] { layOutEarlierInstallation("c:\\oldq", {"Main=c:\\oldq"}); }, pkg,
       kInstall + "message \"*\" OK\n", {}, 0, 0, nullptr,
       {"exec cmdline=\"c:\\\\oldq\\\\quorvel\\\\quorvel.exe main\"", "dialog id=3 event=end"},
       [&](const BinaryRun &run) {
         EXPECT_TRUE(contains(lines(run.transcript),
                              "dialog id=2 event=show caption=\"Quorvel Installation\" edit101=\"c:\\\\oldq\""));
         EXPECT_NE(run.transcript.find("message caption=\"Quorvel\" "), std::string::npos);
         EXPECT_EQ(winIni().find("Dunmere"), std::string::npos);
         EXPECT_TRUE(existsWin("c:\\oldq\\quorvel\\readme.txt"));
       }},
      {"Cancel while the worker reads a slow drive: the dialog ends, the process exits at once", nullptr, pkg,
       "at-start insert d: " + pkg + " speed " + std::to_string(speed) + "\n" + kWizard +
           "dialog 3 at 10 press 203\nmessage \"Are you sure you want to cancel installation?\" Yes\n",
       {}, 0, 1, nullptr, {"dialog id=3 event=end"},
       [&](const BinaryRun &run) {
         EXPECT_LT(run.seconds, 0.5 * static_cast<double>(package.progressTotal) / speed);
         EXPECT_EQ(w32::progmanGroupsText(), "");
         EXPECT_FALSE(existsWin("c:\\dunmere\\quorvel\\wsystem.z"));
       }},
      {"a bad answer file", nullptr, pkg, "dialog 4 press 201\ndialog 1 jump\n", {}, 0, 2,
       "answer file line 2: unknown step jump", {}, nullptr},
      {"an answer for another dialog", nullptr, pkg, "dialog 1 press 201\n", {}, 0, 2,
       "it answers dialog 1, not dialog 4", {},
       [&](const BinaryRun &) { EXPECT_FALSE(existsWin("c:\\dunmere")); }},
      {"no answer file and no terminal", nullptr, pkg, "", {"W32_ANSWERS="}, 0, 2, "run it in a terminal", {},
       [&](const BinaryRun &run) { EXPECT_NE(run.errors.find("W32_ANSWERS=FILE"), std::string::npos); }},
      {"a prefix others may write is not started",
       [&] { mkdir(shared.c_str(), 0777); chmod(shared.c_str(), 0777); }, pkg, kInstall, {"W32_PREFIX=" + shared},
       0, 4, "can be written by other users", {},
       [&](const BinaryRun &) { EXPECT_FALSE(hostExists(shared + "/drive_c")); }},
      {"a prefix another setup holds is not started",
       [&] {
         lock = open((prefix + "/setup.lock").c_str(), O_RDWR | O_CREAT, 0644);
         ASSERT_EQ(flock(lock, LOCK_EX), 0);
       },
       pkg, kInstall, {"W32_PREFIX_WAIT=1"}, 0, 4, "w32: another program kept this prefix for 1 s",
       {"wait text=\"another program is running on this prefix; waiting up to 1 s for it to end\"",
        "error text=\"another program kept this prefix for 1 s\""},
       [&](const BinaryRun &) {
         close(lock);
         EXPECT_FALSE(existsWin("c:\\dunmere"));
       }},
      {"a file size limit is a full disk that prompts", nullptr, pkg,
       kInstall + "message \"Can't write file*\" Cancel\n", {}, 50000, 1, nullptr, {}, nullptr},
      {"a step whose write fails: installed with errors",
       [&] {
         mkdir((prefix + "/progman").c_str(), 0755);
         mkdir((prefix + "/progman/groups.ini").c_str(), 0755);  // cannot be written
       },
       pkg, kInstall, {}, 0, 3, nullptr, {},
       [&](const BinaryRun &run) {
         EXPECT_NE(run.transcript.find("failed kind=dde call=DdeClientTransaction "
                                       "command=\"[CreateGroup(Quorvel)]\""),
                   std::string::npos);
       }},
      {"a damaged member of quorvel.z: its prompt, answered Cancel, ends the run",
       [&] {
         Bytes bytes = readHostFile(pkg + "/quorvel.z");
         // The first member's stream starts after the directory; its header
         // names a dictionary size the format does not have.
         uint32_t offset = bytes[25] | bytes[26] << 8 | bytes[27] << 16 | uint32_t(bytes[28]) << 24;
         ASSERT_LT(offset + 1, bytes.size());
         bytes[offset + 1] = 9;
         writeHostFile(pkg + "/quorvel.z", bytes);
       },
       pkg, kInstall + "message \"Can't write file c:\\\\dunmere\\\\quorvel\\\\*\" Cancel\n", {}, 0, 1,
       nullptr, {}, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    w32::mapDrive('d', pkg);
    if (c.before) c.before();
    BinaryRun run = runBinary(c.dir, c.answers, c.env, c.fileSizeLimit);
    SCOPED_TRACE(run.transcript + run.errors);
    EXPECT_EQ(run.status, c.status);
    if (c.said) {
      EXPECT_NE(run.errors.find(c.said), std::string::npos);
    } else {
      EXPECT_EQ(run.errors, "");
    }
    std::vector<std::string> shown = lines(run.transcript);
    ASSERT_GT(shown.size(), c.last.size());
    std::vector<std::string> last(shown.end() - 1 - static_cast<long>(c.last.size()), shown.end() - 1);
    EXPECT_EQ(last, c.last);
    EXPECT_EQ(shown.back(), "result code=" + std::to_string(c.status) + " text=\"" + kResult[c.status] + "\"");
    EXPECT_EQ(run.transcript.find("exec ") != std::string::npos, c.status == 0 || c.status == 3);
    EXPECT_EQ(quorvelValue("MainDir") == "(none)", c.status != 0 && c.status != 3);
    if (c.after) c.after(run);
  }
}

}  // namespace
