// The Program Manager group over DDE, against the layer's stand-in servers.
#include <ddeml.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "config_steps.h"

namespace {

using Strings = std::vector<std::string>;
using ProgmanTest = EngineTest;

// An installation directory with spaces goes into the commands unquoted,
// and percent signs in it are text.
const char kTarget[] = "c:\\my net\\100%s\\";
const Strings kCommands = {
    "[CreateGroup(Quorvel)]",
    "[AddItem(c:\\my net\\100%s\\quorvel.exe, Registration & Utilities, c:\\my net\\100%s\\quorvel.exe)]",
    "[AddItem(c:\\my net\\100%s\\readme.txt, Read me, c:\\my net\\100%s\\notep001.ico)]",
};

// The stand-in servers, a start that fails at each of its DDE calls (the
// runs after it start from a reset record), and a group built twice.
TEST_F(ProgmanTest, StandInServers) {
  struct Case {
    const char *what;
    w32::ProgmanMode mode;
    long failingDdeCall;       // 0: none
    int runs;                  // times the group is built; the results are the last time's
    std::vector<int> results;  // of start, create, the two items and end
    Strings received;          // commands the server got
    bool groupStored;          // the stand-in holds the group afterwards
  };
  using M = w32::ProgmanMode;
  Strings twice = kCommands;
  twice.insert(twice.end(), kCommands.begin(), kCommands.end());
  const Case cases[] = {
      {"DdeInitializeA fails: nothing else is set up", M::Normal, 1, 1, {0, 0, 0, 0, 1}, {}, false},
      {"the service name handle fails", M::Normal, 2, 1, {0, 0, 0, 0, 1}, {}, false},
      {"the topic name handle fails", M::Normal, 3, 1, {0, 0, 0, 0, 1}, {}, false},
      {"a normal Program Manager", M::Normal, 0, 1, {1, 1, 1, 1, 1}, kCommands, true},
      {"the group exists: the commands are sent again", M::Normal, 0, 2, {1, 1, 1, 1, 1}, twice, true},
      {"the server ends the conversation after the first command: the next connects again",
       M::DisconnectAfterFirst, 0, 1, {1, 1, 1, 1, 1}, kCommands, true},
      {"every command rejected, each still sent", M::RejectAll, 0, 1, {1, 0, 0, 0, 1}, kCommands, false},
      {"no server at all", M::Absent, 0, 1, {1, 0, 0, 0, 1}, {}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    w32::setProgmanServer(c.mode);
    if (c.failingDdeCall) w32::armFault(w32::Fault::Dde, c.failingDdeCall, false);
    std::vector<int> r;
    for (int run = 0; run < c.runs; ++run) {  // what the installation sequence does
      r = {startProgramGroup(), createProgramGroup("Quorvel"),
           addProgramItem("Registration & Utilities", kTarget, "quorvel.exe", kTarget, "quorvel.exe"),
           addProgramItem("Read me", kTarget, "readme.txt", kTarget, "notep001.ico"), endProgramGroup()};
    }
    w32::clearFaults();
    EXPECT_EQ(r, c.results);
    EXPECT_EQ(w32::progmanCommands(), c.received);
    std::string groups = w32::progmanGroupsText();
    EXPECT_EQ(groups.find("Quorvel") != std::string::npos, c.groupStored) << groups;
    EXPECT_EQ(groups.find("Registration & Utilities") != std::string::npos, c.groupStored) << groups;
    EXPECT_EQ(groups.find("c:\\my net\\100%s\\notep001.ico") != std::string::npos, c.groupStored) << groups;
    std::string t = w32::transcript();
    EXPECT_EQ(t.find("message "), std::string::npos) << "no message is shown";
    EXPECT_EQ(t.find("failed kind=dde") != std::string::npos, !c.groupStored) << "a failed command is noted: " << t;
    EXPECT_EQ(w32::openHandleCount(), 0);
  }
}

TEST_F(ProgmanTest, ServerThatNeverAnswersTimesOutPerCommand) {
  w32::setProgmanServer(w32::ProgmanMode::NeverAnswer);
  ASSERT_EQ(startProgramGroup(), 1);
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(createProgramGroup("Quorvel"), 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_GE(seconds, 0.9) << "the transaction waits for its time-out";
  EXPECT_LT(seconds, 3.0) << "and no longer";
  EXPECT_EQ(endProgramGroup(), 1);
  EXPECT_EQ(w32::progmanCommands(), Strings{"[CreateGroup(Quorvel)]"});
}

// A command longer than the buffer is not sent; a critical DDE error is
// shown once and the commands go on.
TEST_F(ProgmanTest, CommandsOverTheBufferAndACriticalError) {
  ASSERT_EQ(startProgramGroup(), 1);
  // "[CreateGroup()]" is 15 characters: a name of 240 makes 255, which fits.
  const std::string name240(240, 'g'), dir(100, 'd');
  EXPECT_EQ(createProgramGroup(name240.c_str()), 1);
  EXPECT_EQ(createProgramGroup(std::string(241, 'g').c_str()), 0);
  // "[AddItem(, , )]" is 15 characters too: items of 40 and 41 characters.
  EXPECT_EQ(addProgramItem(std::string(40, 'i').c_str(), dir.c_str(), "", dir.c_str(), ""), 1);
  EXPECT_EQ(addProgramItem(std::string(41, 'i').c_str(), dir.c_str(), "", dir.c_str(), ""), 0);
  w32::setAnswers("message \"A critical error*\" OK\n");
  w32::raiseDdeError(DMLERR_LOW_MEMORY);
  EXPECT_EQ(createProgramGroup("Quorvel"), 1);
  EXPECT_EQ(addProgramItem("Read me", "c:\\q\\", "readme.txt", "c:\\q\\", "notep001.ico"), 1);
  EXPECT_EQ(endProgramGroup(), 1);
  EXPECT_EQ(w32::scriptError(), "");
  EXPECT_EQ(w32::transcript(),
            "message caption=\"Quorvel Installation\" text=\"A critical error has occurred.\" icon=MB_ICONWARNING "
            "buttons=MB_OK answer=OK\n");
  Strings received = w32::progmanCommands();
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[0], "[CreateGroup(" + name240 + ")]");
  EXPECT_EQ(received[1].size(), 255u);
  EXPECT_EQ(received[2], "[CreateGroup(Quorvel)]");
}

}  // namespace
