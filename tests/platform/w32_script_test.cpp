// The scripted front end: answer matching, buttons, actions, transcripts.
#include "w32_fixture.h"

#include <signal.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using ScriptTest = W32Test;

const char kCaption[] = "Quorvel Installation";
const char kDisk2[] = "Please insert the disk labeled \"Quorvel Disk #2\".";

TEST_F(ScriptTest, TextsAreEscapedToStayOnOneLine) {
  w32::setAnswers("message \"Please ensure*\" Retry\n");
  const char text[] = "Please ensure the following Quorvel files are located in c:\\pkg\\:\r\n\r\nquorvel.z\tx\xe9";
  EXPECT_EQ(MessageBoxA(nullptr, text, kCaption, MB_RETRYCANCEL | MB_ICONWARNING), IDRETRY);
  EXPECT_EQ(w32::transcript(), "message caption=\"Quorvel Installation\" text=\"Please ensure the following Quorvel "
                               "files are located in c:\\\\pkg\\\\:\\r\\n\\r\\nquorvel.z\\tx\\xE9\" "
                               "icon=MB_ICONWARNING buttons=MB_RETRYCANCEL answer=Retry\n");
}

TEST_F(ScriptTest, IconsAndButtonSetsAreNamed) {
  struct Case {
    UINT type;
    const char *icon;
    const char *buttons;
    const char *answer;
  } cases[] = {
      {MB_OK, "none", "MB_OK", "OK"},
      {MB_OK | MB_ICONHAND, "MB_ICONERROR", "MB_OK", "OK"},
      {MB_OKCANCEL | MB_ICONEXCLAMATION, "MB_ICONWARNING", "MB_OKCANCEL", "Cancel"},
      {MB_YESNO | MB_ICONQUESTION, "MB_ICONQUESTION", "MB_YESNO", "No"},
      {MB_YESNOCANCEL | MB_ICONINFORMATION, "MB_ICONINFORMATION", "MB_YESNOCANCEL", "Yes"},
      {MB_ABORTRETRYIGNORE | MB_ICONSTOP, "MB_ICONERROR", "MB_ABORTRETRYIGNORE", "Abort"},
      {MB_RETRYCANCEL | MB_ICONWARNING | MB_SETFOREGROUND, "MB_ICONWARNING", "MB_RETRYCANCEL", "Retry"},
  };
  for (const Case &c : cases) {
    w32::resetForTest(prefix);
    w32::setAnswers(std::string("message \"*\" ") + c.answer + "\n");
    EXPECT_NE(MessageBoxA(nullptr, "t", "c", c.type), 0) << c.buttons;
    EXPECT_EQ(w32::transcript(), std::string("message caption=\"c\" text=\"t\" icon=") + c.icon + " buttons=" +
                                     c.buttons + " answer=" + c.answer + "\n");
  }
  w32::resetForTest(prefix);
  w32::setAnswers("message \"*\" OK\n");
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), IDOK);
  EXPECT_EQ(w32::transcript(), "message caption=\"Error\" text=\"\" icon=none buttons=MB_OK answer=OK\n");
}

struct ButtonCase {
  UINT type;
  const char *answer;
  int result; // 0: the answer cannot be given to this box
  const char *recorded;
};

const ButtonCase kButtons[] = {
    {MB_RETRYCANCEL, "Retry", IDRETRY, "Retry"},
    {MB_RETRYCANCEL, "Cancel", IDCANCEL, "Cancel"},
    {MB_RETRYCANCEL, "Escape", IDCANCEL, "Cancel"},
    {MB_RETRYCANCEL, "retry", IDRETRY, "Retry"},
    {MB_RETRYCANCEL, "OK", 0, nullptr},
    {MB_OK, "OK", IDOK, "OK"},
    {MB_OK, "Escape", IDOK, "OK"},
    {MB_OK, "Cancel", 0, nullptr},
    {MB_OKCANCEL, "Escape", IDCANCEL, "Cancel"},
    {MB_YESNO, "Yes", IDYES, "Yes"},
    {MB_YESNO, "No", IDNO, "No"},
    {MB_YESNO, "Escape", 0, nullptr},
    {MB_YESNO, "Cancel", 0, nullptr},
    {MB_YESNOCANCEL, "Escape", IDCANCEL, "Cancel"},
    {MB_ABORTRETRYIGNORE, "Ignore", IDIGNORE, "Ignore"},
    {MB_ABORTRETRYIGNORE, "Escape", 0, nullptr},
};

TEST_F(ScriptTest, ButtonsAndEscapePerBox) {
  for (const ButtonCase &c : kButtons) {
    w32::resetForTest(prefix);
    w32::setAnswers(std::string("message \"x\" ") + c.answer + "\n");
    EXPECT_EQ(MessageBoxA(nullptr, "x", "c", c.type), c.result) << c.type << " " << c.answer;
    std::string t = w32::transcript();
    if (c.result) {
      EXPECT_NE(t.find(std::string(" answer=") + c.recorded + "\n"), std::string::npos) << t;
      EXPECT_EQ(w32::scriptError(), "");
    } else {
      EXPECT_NE(w32::scriptError().find("answer file line 1"), std::string::npos) << w32::scriptError();
      EXPECT_NE(t.find(" answer=none\nerror text="), std::string::npos) << t;
      EXPECT_EQ(w32::answersLeft(), 1);
    }
  }
}

struct GlobCase {
  const char *pattern;
  const char *text;
  bool matches;
};

const GlobCase kGlobs[] = {
    {"*Disk #2*", kDisk2, true},
    {"*Disk #3*", kDisk2, false},
    {"Disk #2", kDisk2, false}, // the pattern covers the whole text
    {"Please insert the disk labeled \"Quorvel Disk #?\".", kDisk2, true},
    {"*disk #2*", kDisk2, false}, // case counts
    {"*", "", true},
    {"", "", true},
    {"", "x", false},
    {"Please ensure*\r\n\r\nquorvel.z\r\n*", "Please ensure the following Quorvel files are located in a:\\:\r\n\r\nquorvel.z\r\nnetscape.z", true},
    {"Can't write file c:\\dunmere\\quorvel\\*.z (may be in use).", "Can't write file c:\\dunmere\\quorvel\\www.z (may be in use).", true},
    {"*a*b*c", "xaxxbxxcx", false},
    {"*a*b*c", "xaxxbxxc", true},
};

TEST_F(ScriptTest, PatternsAreGlobsOverTheWholeText) {
  for (const GlobCase &c : kGlobs) {
    w32::resetForTest(prefix);
    std::string pattern = c.pattern;
    std::string escaped;
    for (char ch : pattern) {
      if (ch == '"' || ch == '\\') escaped += '\\';
      if (ch == '\r') escaped += "\\r";
      else if (ch == '\n') escaped += "\\n";
      else escaped += ch;
    }
    w32::setAnswers("message \"" + escaped + "\" OK\n");
    ASSERT_EQ(w32::scriptError(), "") << c.pattern;
    EXPECT_EQ(MessageBoxA(nullptr, c.text, kCaption, MB_OK) == IDOK, c.matches) << c.pattern;
  }
}

// Backslashes are written doubled; one that starts no escape stands for
// itself (c:\dunmere), but \r, \n, \t, \x.. and \" are escapes.
TEST_F(ScriptTest, LoneBackslashesInPatternsStandForThemselves) {
  w32::setAnswers("message \"Can't write file c:\\dunmere\\quorvel\\\\readme.txt*\" Cancel\n");
  EXPECT_EQ(MessageBoxA(nullptr, "Can't write file c:\\dunmere\\quorvel\\readme.txt (may be in use).", kCaption,
                        MB_RETRYCANCEL | MB_ICONWARNING),
            IDCANCEL);
}

TEST_F(ScriptTest, AMismatchNamesTheAnswerAndTheEvent) {
  w32::setAnswers("message \"*Disk #3*\" OK\n");
  EXPECT_EQ(MessageBoxA(nullptr, kDisk2, kCaption, MB_OK | MB_ICONERROR), 0);
  std::string err = w32::scriptError();
  EXPECT_NE(err.find("answer file line 1 (message \"*Disk #3*\" OK)"), std::string::npos) << err;
  EXPECT_NE(err.find("text=\"Please insert the disk labeled \\\"Quorvel Disk #2\\\".\""), std::string::npos) << err;
  EXPECT_EQ(w32::answersLeft(), 1); // not consumed: the right box still gets it
  EXPECT_EQ(MessageBoxA(nullptr, "Please insert the disk labeled \"Quorvel Disk #3\".", kCaption, MB_OK), IDOK);
  EXPECT_EQ(w32::answersLeft(), 0);

  w32::resetForTest(prefix);
  w32::setAnswers("dialog 2 edit 101 \"c:\\dunmere\" press 201\n");
  EXPECT_EQ(MessageBoxA(nullptr, "x", kCaption, MB_OK), 0);
  EXPECT_NE(w32::scriptError().find("answers a dialog, not a message box"), std::string::npos) << w32::scriptError();
}

struct ParseCase {
  const char *text;
  const char *error; // a part of the error
};

const ParseCase kBadFiles[] = {
    {"message \"x\"\n", "line 1: expected: message"},
    {"message \"x\" Maybe\n", "line 1: expected: message"},
    {"\n\nbogus 1\n", "line 3: unknown keyword bogus"},
    {"message \"unterminated OK\n", "line 1: unterminated"},
    {"fault Read 0 once\nmessage \"*\" OK\n", "line 1: expected: fault"},
    {"fault Reed 1 once\nmessage \"*\" OK\n", "line 1: expected: fault"},
    {"fault Read 1 sometimes\nmessage \"*\" OK\n", "line 1: expected: fault"},
    {"insert a:\nmessage \"*\" OK\n", "line 1: expected: insert"},
    {"insert 1: /tmp\nmessage \"*\" OK\n", "line 1: expected: insert"},
    {"eject\nmessage \"*\" OK\n", "line 1: expected: eject"},
    {"message \"*\" OK\ninsert a: /tmp\n", "line 2: actions after the last answer would never run"},
    {"at-start message \"*\" OK\n", "line 1: at-start applies to actions only"},
};

TEST_F(ScriptTest, BadAnswerFilesAreRefusedWhole) {
  for (const ParseCase &c : kBadFiles) {
    w32::resetForTest(prefix);
    w32::setAnswers("message \"old\" OK\n");
    w32::setAnswers(c.text);
    EXPECT_NE(w32::scriptError().find(c.error), std::string::npos) << c.text << " gave " << w32::scriptError();
    EXPECT_EQ(w32::answersLeft(), 0) << c.text;
  }
}

TEST_F(ScriptTest, ActionsRunWhenTheirAnswersEventArrives) {
  makeHostDir(scratch("/disk1"));
  makeHostDir(scratch("/disk2"));
  writeHost(scratch("/disk2/NPROGRAM.Z"), "2");
  w32::mapDrive('a', scratch("/disk1"));
  w32::setAnswers("insert a: " + scratch("/disk2") + "\nmessage \"*Disk #2*\" OK\neject A:\nmessage \"*\" OK\n");
  EXPECT_EQ(w32::hostPath("a:\\nprogram.z"), scratch("/disk1/nprogram.z"));
  EXPECT_EQ(MessageBoxA(nullptr, kDisk2, kCaption, MB_OK), IDOK);
  EXPECT_EQ(w32::hostPath("a:\\nprogram.z"), scratch("/disk2/NPROGRAM.Z"));
  EXPECT_EQ(MessageBoxA(nullptr, "eject", kCaption, MB_OK), IDOK);
  EXPECT_EQ(w32::hostPath("a:\\nprogram.z"), "");
  EXPECT_EQ(OpenFile("a:\\nprogram.z", nullptr, OF_READ), HFILE_ERROR);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(ScriptTest, FaultsCanBeArmedFromTheAnswerFile) {
  writeHost(cdrive("/f.txt"), "abc");
  w32::setAnswers("at-start fault Open 2 once\nfault Read 1 persistent\nmessage \"*\" Retry\nclear-faults\n"
                  "message \"*\" Cancel\n");
  HFILE f = OpenFile("c:\\f.txt", nullptr, OF_READ);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_EQ(OpenFile("c:\\f.txt", nullptr, OF_READ), HFILE_ERROR); // the at-start fault
  char c;
  DWORD got;
  EXPECT_TRUE(ReadFile((HANDLE)(INT_PTR)f, &c, 1, &got, nullptr)); // not armed before the answer
  EXPECT_EQ(MessageBoxA(nullptr, "x", kCaption, MB_RETRYCANCEL), IDRETRY);
  EXPECT_FALSE(ReadFile((HANDLE)(INT_PTR)f, &c, 1, &got, nullptr));
  EXPECT_FALSE(ReadFile((HANDLE)(INT_PTR)f, &c, 1, &got, nullptr));
  EXPECT_EQ(MessageBoxA(nullptr, "x", kCaption, MB_RETRYCANCEL), IDCANCEL);
  EXPECT_TRUE(ReadFile((HANDLE)(INT_PTR)f, &c, 1, &got, nullptr));
  EXPECT_EQ(c, 'b');
  CloseHandle((HANDLE)(INT_PTR)f);
}

DWORD WINAPI askFromWorker(LPVOID param) {
  int n = *static_cast<int *>(param);
  for (int i = 0; i < 50; ++i) {
    char text[32];
    snprintf(text, sizeof text, "worker %d box %d", n, i);
    if (MessageBoxA(nullptr, text, kCaption, MB_OK) != IDOK) return 0;
  }
  return 1;
}

TEST_F(ScriptTest, BoxesFromSeveralThreadsAreAnsweredInOneOrder) {
  std::string answers;
  for (int i = 0; i < 150; ++i) answers += "message \"*box*\" OK\n";
  w32::setAnswers(answers);
  int ids[2] = {1, 2};
  HANDLE a = CreateThread(nullptr, 0, askFromWorker, &ids[0], 0, nullptr);
  HANDLE b = CreateThread(nullptr, 0, askFromWorker, &ids[1], 0, nullptr);
  EXPECT_EQ(askFromWorker(&ids[0]) + 0, 1);
  WaitForSingleObject(a, INFINITE);
  WaitForSingleObject(b, INFINITE);
  DWORD ca = 0, cb = 0;
  GetExitCodeThread(a, &ca);
  GetExitCodeThread(b, &cb);
  EXPECT_EQ(ca + cb, 2u);
  CloseHandle(a);
  CloseHandle(b);
  std::istringstream t(w32::transcript());
  std::string line;
  int lines = 0;
  while (std::getline(t, line)) {
    ++lines;
    EXPECT_EQ(line.compare(0, 44, "message caption=\"Quorvel Installation\" text="), 0) << line;
    EXPECT_EQ(line.substr(line.size() - 33), "icon=none buttons=MB_OK answer=OK") << line;
  }
  EXPECT_EQ(lines, 150);
  EXPECT_EQ(w32::answersLeft(), 0);
}

// The real program: W32_ANSWERS and W32_TRANSCRIPT from the environment, and
// a mismatch that ends the process with status 2.
struct ProbeRun {
  int status = -1;
  std::string transcript, out, err;
};

ProbeRun runProbe(const std::string &dir, const std::string &answers, std::vector<std::string> args,
                  std::string transcriptFile = "") {
  std::string answerFile = dir + "/answers.txt";
  std::ofstream(answerFile) << answers;
  if (transcriptFile.empty()) transcriptFile = dir + "/transcript.txt";
  // posix_spawn rather than fork: this process has threads.
  std::vector<std::string> env = {"W32_PREFIX=" + dir + "/prefix", "W32_ANSWERS=" + answerFile,
                                  "W32_TRANSCRIPT=" + transcriptFile};
  for (char **e = environ; *e; ++e) {
    if (strncmp(*e, "W32_", 4) != 0) env.push_back(*e);
  }
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::string probe = QV_SCRIPT_PROBE;
  std::vector<char *> argv;
  argv.push_back(&probe[0]);
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, (dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, probe.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return ProbeRun();
  ProbeRun r;
  int status = 0;
  // Bounded: a probe that waits on something (a FIFO) is ended after 10 s.
  for (int ticks = 0; waitpid(pid, &status, WNOHANG) == 0; ++ticks) {
    if (ticks == 1000) kill(pid, SIGKILL);
    usleep(10000);
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  struct stat st;
  if (stat(transcriptFile.c_str(), &st) == 0 && S_ISREG(st.st_mode)) r.transcript = W32Test::readHost(transcriptFile);
  r.out = W32Test::readHost(dir + "/stdout.txt");
  r.err = W32Test::readHost(dir + "/stderr.txt");
  return r;
}

TEST_F(ScriptTest, TheRealProgramReadsItsAnswersFromTheEnvironment) {
  std::string dir = root + "/probe";
  makeHostDir(dir + "/disk2");
  writeHost(dir + "/disk2/MARK.TXT", "");
  // "disk2" is relative to the answer file's directory.
  ProbeRun r = runProbe(dir, "insert a: disk2\nmessage \"*Disk #2*\" OK\nmessage \"Sure?\" Escape\n", {kDisk2, "Sure?"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.transcript, "message caption=\"Quorvel Installation\" text=\"Please insert the disk labeled \\\"Quorvel "
                          "Disk #2\\\".\" icon=MB_ICONWARNING buttons=MB_OKCANCEL answer=OK\n"
                          "message caption=\"Quorvel Installation\" text=\"Sure?\" icon=MB_ICONWARNING "
                          "buttons=MB_OKCANCEL answer=Cancel\n");
  EXPECT_EQ(r.out, "1\n2\nmark found\n");
}

TEST_F(ScriptTest, AMismatchEndsTheRealProgram) {
  std::string dir = root + "/probe";
  makeHostDir(dir);
  ProbeRun r = runProbe(dir, "message \"*Disk #3*\" OK\nmessage \"*\" OK\n", {kDisk2, "never shown"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("answer file line 1 (message \"*Disk #3*\" OK) does not fit"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Quorvel Disk #2"), std::string::npos) << r.err;
  EXPECT_NE(r.transcript.find("buttons=MB_OKCANCEL answer=none\nerror text=\"answer file line 1"), std::string::npos)
      << r.transcript;
  EXPECT_EQ(r.out, "");

  r = runProbe(dir, "message \"*\" OK\n", {"one", "two"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no answer left in the answer file for: message caption=\"Quorvel Installation\" text=\"two\""),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "1\n");

  r = runProbe(dir, "message \"*\" OK\n# the second box never comes\nmessage \"two\" Cancel\n", {"one"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("1 answer(s) not used, the first: answer file line 3 (message \"two\" Cancel)"),
            std::string::npos)
      << r.err;
}

// A transcript that would destroy the answer file, or that cannot be opened
// without waiting (a FIFO nothing reads), ends the run before it starts,
// with status 2 and the answer file as it was.
TEST_F(ScriptTest, ATranscriptThatCannotBeWrittenEndsTheRunFirst) {
  std::string dir = root + "/probe";
  makeHostDir(dir);
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0666), 0);
  makeHostDir(dir + "/directory");
  const struct {
    std::string transcript;
    const char *said;
  } cases[] = {
      {dir + "/answers.txt", "W32_TRANSCRIPT names the answer file"},
      {dir + "/fifo", "a FIFO that nothing reads"},
      {dir + "/directory", "Is a directory"},
  };
  for (const auto &c : cases) {
    auto start = std::chrono::steady_clock::now();
    ProbeRun r = runProbe(dir, "message \"*\" OK\n", {"one"}, c.transcript);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.transcript;
    EXPECT_EQ(r.status, 2) << c.transcript;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readHost(dir + "/answers.txt"), "message \"*\" OK\n");
  }
}

} // namespace
