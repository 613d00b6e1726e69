// The real setup binary, run with answer files: its status, errors, last transcript lines and end state.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <thread>

#include "wizard_fixture.h"

namespace {

// The transcript's last line for each exit status.
const std::map<int, const char *> kResult = {{0, "installed"},   {1, "cancelled"},     {2, "answer file or usage error"},
                                             {3, "installed with errors"}, {4, "not started"}, {129, "hung up"},
                                             {130, "interrupted"}, {143, "terminated"}};

// Catches a wrong status or last line, a prompt not shown or answered as asked, a run refused too late,
// a program started or MainDir written without an install, a link out of a drive followed, a file written
// through a hard link, a fresh prefix without C:\Program Files, a wrong end state.
TEST_F(WizardTest, BinaryRuns) {
  PackageResult package = makeTestPackage("pkg", false, false, 100000);
  PackageResult floppies = makeTestPackage("floppy", true, false);
  const std::string pkg = scratch + "/pkg", disks = scratch + "/floppy/disk", shared = scratch + "/shared";
  const unsigned long speed = 200000;  // the whole package would take about 5.5 s
  int lock = -1;
  const std::string outside = scratch + "/outside.txt";
  const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't'};
  writeHostFile(outside, secret);
  auto linkOut = [&](const std::string &at) { ASSERT_EQ(symlink(outside.c_str(), at.c_str()), 0) << at; };
  auto outsideKept = [&](const BinaryRun &) { EXPECT_EQ(readHostFile(outside), secret); };
  std::thread helper;  // releases the prefix, or reads a line of the transcript and goes
  auto lockPrefix = [&] {
    lock = open((prefix + "/setup.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);  // not the run's too
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
  };
  const std::string slow = "at-start insert d: " + pkg + " speed " + std::to_string(speed) + "\n" + kInstall;
  // A stop leaves every byte written so far: the bar shows P once (P - 1) % of the 1,500,000 counted bytes are
  // written (the extraction counts its input a block ahead).
  auto keptAsWritten = [&](const BinaryRun &run) {
    size_t at = run.transcript.rfind("progress pos=");
    ASSERT_NE(at, std::string::npos);
    long written = (atol(run.transcript.c_str() + at + 13) - 1) * 15000, kept = 0;
    std::string dir = host("c:\\dunmere\\quorvel");
    if (DIR *d = opendir(dir.c_str())) {
      for (struct dirent *e; (e = readdir(d)) != nullptr;) {
        struct stat st;
        if (stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) kept += st.st_size;
      }
      closedir(d);
    }
    EXPECT_GE(kept + 4096, written);
  };
  const std::string tooSmall = "dialog 4 press 201\ndialog 1 press 201\ndialog 2 edit 101 \"foo\" press 201\n"
                               "message \"There are only*\" OK\ndialog 2 edit 101 \"c:\\\\dunmere\" press 201\n"
                               "dialog 3 wait\n";
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
    bool refused = false;  // refused before the transcript is opened: there is none
    std::vector<std::string> args = {};  // the command line's words
    int signal = 0;                 // sent once the bar shows 10
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
       // An insert's directory is taken from the answer file's.
       kInstall + "message \"Please insert the disk labeled \\\"Quorvel Disk #2\\\".\" OK\ninsert a: floppy/disk2\n"
                  "message \"Please ensure that Quorvel Disk #2 is in drive a:\\\\.\" Retry\ninsert a: floppy/disk3\n"
                  "message \"Please insert the disk labeled \\\"Quorvel Disk #3\\\".\" OK\n",
       {}, 0, 0, nullptr, {},
       [&](const BinaryRun &run) {
         EXPECT_NE(run.transcript.find("message caption=\"Quorvel Installation\" text=\"Please ensure that Quorvel "
                                       "Disk #2 is in drive a:\\\\.\" icon=MB_ICONWARNING buttons=MB_RETRYCANCEL "
                                       "answer=Retry\n"),
                   std::string::npos);
         expectInstalled(floppies);
       }},
      {"an upgrade: the earlier directory offered and taken over, its WIN.INI section gone",
       [&] { layOutEarlierInstallation("c:\\oldq", {"Main=c:\\oldq"}); }, pkg,
       kInstall + "message \"*\" OK\n", {}, 0, 0, nullptr,
       {"exec cmdline=\"c:\\\\oldq\\\\quorvel\\\\quorvel.exe main\"", "dialog id=3 event=end"},
       [&](const BinaryRun &run) {
         EXPECT_NE(run.transcript.find("dialog id=2 event=show caption=\"Quorvel Installation\" "
                                       "edit101=\"c:\\\\oldq\"\n"),
                   std::string::npos);
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
      {"an answer file that runs out", nullptr, pkg, "dialog 4 press 201\n", {}, 0, 2,
       "no answer left in the answer file for: dialog id=1", {}, nullptr},
      {"a transcript that names the answer file: refused, the answers kept", nullptr, pkg, kInstall,
       {"W32_TRANSCRIPT=" + scratch + "/answers"}, 0, 2, "W32_TRANSCRIPT names the answer file", {},
       [&](const BinaryRun &) {
         EXPECT_EQ(readHostFile(scratch + "/answers"), Bytes(kInstall.begin(), kInstall.end()));
       },
       true},
      {"a transcript that is a FIFO nothing reads", [&] { mkfifo((scratch + "/fifo").c_str(), 0600); }, pkg, kInstall,
       {"W32_TRANSCRIPT=" + scratch + "/fifo"}, 0, 2, "a FIFO that nothing reads", {}, nullptr, true},
      {"a transcript that is a directory", nullptr, pkg, kInstall, {"W32_TRANSCRIPT=" + scratch}, 0, 2,
       "Is a directory", {}, nullptr, true},
      {"no answer file and no terminal", nullptr, pkg, "", {"W32_ANSWERS="}, 0, 2, "run it in a terminal", {},
       [&](const BinaryRun &run) { EXPECT_NE(run.errors.find("W32_ANSWERS=FILE"), std::string::npos); }, true},
      {"a prefix others may write is not started",
       [&] { mkdir(shared.c_str(), 0777); chmod(shared.c_str(), 0777); }, pkg, kInstall, {"W32_PREFIX=" + shared},
       0, 4, "can be written by other users", {},
       [&](const BinaryRun &) { EXPECT_FALSE(hostExists(shared + "/drive_c")); }, true},
      {"a prefix another setup holds is not started, that run's transcript untouched",
       [&] {
         lockPrefix();
         writeHostFile(scratch + "/held", {'x'});
       },
       pkg, kInstall, {"W32_PREFIX_WAIT=1", "W32_TRANSCRIPT=" + scratch + "/held"}, 0, 4,
       "w32: another program kept this prefix for 1 s", {},
       [&](const BinaryRun &) {
         close(lock);
         EXPECT_EQ(readHostFile(scratch + "/held"), Bytes{'x'});
         EXPECT_FALSE(existsWin("c:\\dunmere"));
       },
       true},
      {"a wait of any length is taken; the transcript, opened once the prefix is free, starts with it",
       [&] {
         lockPrefix();
         helper = std::thread([&] {  // the prefix is free once the run says it waits
           for (int i = 0; i < 6000; i++, usleep(10000)) {
             Bytes said = readHostFile(scratch + "/errors");
             if (std::string(said.begin(), said.end()).find("up to 316224000 s") != std::string::npos) break;
           }
           close(lock);
         });
       },
       pkg, kInstall, {"W32_PREFIX_WAIT=9223372036854775807"}, 0, 0, "waiting up to 316224000 s", {},
       [&](const BinaryRun &run) {
         helper.join();
         EXPECT_EQ(run.transcript.substr(0, 5), "wait ");
       }},
      {"SIGTERM mid-copy ends as a confirmed Cancel does", nullptr, pkg, slow, {}, 0, 143, nullptr, {}, keptAsWritten,
       false, {}, SIGTERM},
      {"SIGINT mid-copy", nullptr, pkg, slow, {}, 0, 130, nullptr, {}, keptAsWritten, false, {}, SIGINT},
      {"SIGHUP mid-copy", nullptr, pkg, slow, {}, 0, 129, nullptr, {}, keptAsWritten, false, {}, SIGHUP},
      {"a transcript whose reader goes away is said, and the installed run ends with status 3",
       [&] {
         mkfifo((scratch + "/reader").c_str(), 0600);
         int fd = open((scratch + "/reader").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         helper = std::thread([fd] {
           struct pollfd p = {fd, POLLIN, 0};
           char line[16];
           if (poll(&p, 1, 60000) == 1 && read(fd, line, sizeof line) > 0) close(fd);
         });
       },
       pkg, kInstall, {"W32_TRANSCRIPT=" + scratch + "/reader"}, 0, 3, "w32: cannot write the transcript", {},
       [&](const BinaryRun &) {
         helper.join();
         EXPECT_TRUE(existsWin("c:\\dunmere\\quorvel\\readme.txt"));
       },
       true},
      {"words that are no option are ignored, as ever; an option in any case", nullptr, pkg, kInstall,
       {"W32_ANSWERS="}, 0, 0, nullptr, {"dialog id=3 event=end"}, nullptr, false,
       {"/s", "c:\\pkg", "c:/x", "/ANSWERS=" + scratch + "/answers"}},
      {"/? shows the options in columns", nullptr, pkg, kInstall, {}, 0, 0, "\n/log=FILE       write a log", {},
       nullptr, true, {"/?"}},
      {"-? and --help are /?", nullptr, pkg, kInstall, {}, 0, 0, "\n/?              show these options", {}, nullptr,
       true, {"-?", "--help"}},
      {"an option written wrongly", nullptr, pkg, kInstall, {}, 0, 2, "The option /log needs a file, written /log=FILE",
       {}, nullptr, true, {"/log", "/answers="}},
      {"/log naming WIN.INI", [&] { writeHostFile(host("c:\\windows\\win.ini"), {'[', 'x', ']'}); }, pkg, kInstall,
       {}, 0, 2, "/log names", {}, [&](const BinaryRun &) { EXPECT_EQ(winIni(), "[x]"); }, true,
       {"/log=" + prefix + "/drive_c/windows/WIN.INI"}},
      {"/record naming the registry", nullptr, pkg, kInstall, {}, 0, 2, "one of the prefix's own files", {},
       [&](const BinaryRun &) { EXPECT_FALSE(hostExists(prefix + "/system.reg")); }, true,
       {"/record=" + prefix + "/system.reg"}},
      {"/log naming the package's setup.ini", nullptr, pkg, kInstall, {}, 0, 2, "one of the package's files", {},
       [&](const BinaryRun &) { EXPECT_FALSE(hostExists(pkg + "/SETUP.INI")); }, true, {"/log=" + pkg + "/SETUP.INI"}},
      {"/log and /record naming one new file", nullptr, pkg, kInstall, {}, 0, 2, "name the same file", {}, nullptr, true,
       {"/log=" + scratch + "/both", "/record=" + scratch + "/./both"}},
      {"/record with /answers records the answers as used", nullptr, pkg, tooSmall, {}, 0, 0, nullptr, {},
       [&](const BinaryRun &) {
         Bytes r = readHostFile(scratch + "/recorded");
         EXPECT_NE(std::string(r.begin(), r.end())
                       .find("dialog 2 edit 101 \"foo\" press 201 edit 101 \"c:\\\\dunmere\" press 201\nmessage \"There "
                             "are only 0.0 MBs free on drive foo\\\\. Quorvel requires at least 8.0 MB of free disk "
                             "space.\" OK\ndialog 3 wait\n"),
                   std::string::npos);
       },
       false, {"/record=" + scratch + "/recorded"}},
      {"an answer file with a NUL byte", nullptr, pkg,
       "dialog 4 press 201\ndialog 1 press 201\ndialog 2 edit 101 \"c:\\\\nul" + std::string(1, '\0') +
           "evil\" press 201\ndialog 3 wait\n",
       {}, 0, 2, "answer file line 3: holds a NUL byte", {},
       [&](const BinaryRun &) { EXPECT_FALSE(existsWin("c:\\nul")); }},
      {"a file size limit is a full disk that prompts; an answer never used is named", nullptr, pkg,
       kInstall + "message \"Can't write file*\" Cancel\nmessage \"never shown\" OK\n", {}, 50000, 1,
       "1 answer(s) not used, the first: answer file line 6 (message \"never shown\" OK)", {}, nullptr},
      {"an installation target that links out of C: cannot be written",
       [&] {
         mkdir(host("c:\\dunmere").c_str(), 0755);
         mkdir(host("c:\\dunmere\\quorvel").c_str(), 0755);
         linkOut(host("c:\\dunmere\\quorvel") + "/nsystem.z");
       },
       pkg, kInstall + "message \"Can't write file c:\\\\dunmere\\\\quorvel\\\\nsystem.z (may be in use).\" Cancel\n",
       {}, 0, 1, nullptr, {}, outsideKept},
      {"installation targets hard-linked to a file outside are replaced, not written through",
       [&] {
         makeWinDir("c:\\dunmere\\quorvel");
         for (const char *name : {"/readme.txt", "/quorvel.exe"})
           ASSERT_EQ(link(outside.c_str(), (host("c:\\dunmere\\quorvel") + name).c_str()), 0) << name;
       },
       pkg, kInstall, {}, 0, 0, nullptr, {},
       [&](const BinaryRun &run) {
         outsideKept(run);
         struct stat st;
         EXPECT_TRUE(stat(outside.c_str(), &st) == 0 && st.st_nlink == 1 && !(st.st_mode & 0111));
         expectInstalled(package);
       }},
      {"a fresh prefix has C:\\Program Files, where a Windows 95 user installs", nullptr, pkg,
       "dialog 4 press 201\ndialog 1 press 201\ndialog 2 edit 101 \"c:\\\\program files\\\\quorvel\" press 201\n"
       "dialog 3 wait\n",
       {}, 0, 0, nullptr, {},
       [&](const BinaryRun &) { EXPECT_TRUE(existsWin("c:\\program files\\quorvel\\quorvel\\quorvel.exe")); }},
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
      {"a package file that links out of D: is missing (last: it breaks the package)",
       [&] {
         unlink((pkg + "/readme.txt").c_str());
         linkOut(pkg + "/readme.txt");
       },
       pkg, kInstall + "message \"Please ensure the following Quorvel files are located in d:\\\\*\" Cancel\n", {}, 0,
       1, nullptr, {},
       [&](const BinaryRun &run) {
         outsideKept(run);
         EXPECT_FALSE(existsWin("c:\\dunmere\\quorvel\\readme.txt"));
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    w32::mapDrive('d', pkg);
    if (c.before) c.before();
    BinaryRun run = runBinary(c.dir, c.answers, c.env, c.fileSizeLimit, c.args, c.signal);
    SCOPED_TRACE(run.transcript + run.errors);
    EXPECT_EQ(run.status, c.status);
    if (c.said) {
      EXPECT_NE(run.errors.find(c.said), std::string::npos);
    } else {
      EXPECT_EQ(run.errors, "");
    }
    if (c.after) c.after(run);
    std::vector<std::string> shown = lines(run.transcript);
    if (c.refused) {
      EXPECT_EQ(run.transcript, "");
      continue;
    }
    ASSERT_GT(shown.size(), c.last.size());
    std::vector<std::string> last(shown.end() - 1 - static_cast<long>(c.last.size()), shown.end() - 1);
    EXPECT_EQ(last, c.last);
    EXPECT_EQ(shown.back(), "result code=" + std::to_string(c.status) + " text=\"" + kResult.at(c.status) + "\"");
    EXPECT_EQ(run.transcript.find("exec ") != std::string::npos, c.status == 0 || c.status == 3);
    EXPECT_EQ(quorvelValue("MainDir") == "(none)", c.status != 0 && c.status != 3);
  }
}

// Catches a thread start left unchecked: under an address space limit found here, from the lowest the program
// starts with up to the first that installs, every run ends with a status and its result line (no abort, no hang),
// the worker's refused start with the installation's out-of-memory message.
TEST_F(WizardTest, ThreadsThatCannotStart) {
  makeTestPackage("pkg", false, false, 100000);
  const std::string pkg = scratch + "/pkg", fatal = "A fatal error occurred (might be out of memory).";
  bool workerRefused = false, installed = false;
  for (long mb = 2; mb <= 64 && !installed; mb += 2) {
    freshPrefix();
    w32::mapDrive('d', pkg);
    BinaryRun run = runBinary(pkg, kInstall + "message \"" + fatal + "\" OK\n", {}, 0, {}, 0, mb << 20);
    if (run.transcript.empty()) continue;  // the program cannot even start with so little
    SCOPED_TRACE(std::to_string(mb) + " MB: " + run.transcript + run.errors);
    ASSERT_TRUE(run.status == 0 || run.status == 3 || run.status == 4) << run.status;
    EXPECT_EQ(lines(run.transcript).back(), "result code=" + std::to_string(run.status) + " text=\"" +
                                                kResult.at(run.status) + "\"");
    EXPECT_EQ(run.transcript.find(fatal) != std::string::npos, run.status == 4);
    workerRefused = workerRefused || run.status == 4;
    installed = run.status == 0;
  }
  if (!installed) GTEST_SKIP() << "the program does not install under any address space limit up to 64 MB here "
                                  "(a sanitizer build reserves more)";
  if (!workerRefused) GTEST_SKIP() << "no address space limit here starts the program but not its worker thread";
}

}  // namespace
