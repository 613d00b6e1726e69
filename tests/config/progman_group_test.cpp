// The Program Manager group over DDE, against the layer's stand-in servers.
#include <ddeml.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "config_steps.h"

namespace {

using Strings = std::vector<std::string>;

struct Results {
  int start, group, item1, item2, end;
};

class ProgmanTest : public EngineTest {
 protected:
  // What the installation sequence does, for an installation directory.
  Results buildGroup(const std::string &targetDir) {
    Results r;
    r.start = startProgramGroup();
    r.group = createProgramGroup("Quorvel");
    r.item1 = addProgramItem("Registration & Utilities", targetDir.c_str(), "quorvel.exe", targetDir.c_str(),
                             "quorvel.exe");
    r.item2 = addProgramItem("Read me", targetDir.c_str(), "readme.txt", targetDir.c_str(), "notep001.ico");
    r.end = endProgramGroup();
    return r;
  }
};

// An installation directory with spaces goes into the commands unquoted,
// and percent signs in it are text.
const char kTarget[] = "c:\\my net\\100%s\\";
const Strings kCommands = {
    "[CreateGroup(Quorvel)]",
    "[AddItem(c:\\my net\\100%s\\quorvel.exe, Registration & Utilities, c:\\my net\\100%s\\quorvel.exe)]",
    "[AddItem(c:\\my net\\100%s\\readme.txt, Read me, c:\\my net\\100%s\\notep001.ico)]",
};

TEST_F(ProgmanTest, StandInServers) {
  struct Case {
    const char *what;
    w32::ProgmanMode mode;
    Results results;
    Strings received;     // commands the server got
    bool groupStored;     // the stand-in holds the group afterwards
  };
  const Case cases[] = {
      {"a normal Program Manager", w32::ProgmanMode::Normal, {1, 1, 1, 1, 1}, kCommands, true},
      {"the server ends the conversation after the first command: the next connects again",
       w32::ProgmanMode::DisconnectAfterFirst, {1, 1, 1, 1, 1}, kCommands, true},
      {"every command rejected, each still sent", w32::ProgmanMode::RejectAll, {1, 0, 0, 0, 1}, kCommands,
       false},
      {"no server at all", w32::ProgmanMode::Absent, {1, 0, 0, 0, 1}, {}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    w32::setProgmanServer(c.mode);
    Results r = buildGroup(kTarget);
    EXPECT_EQ(r.start, c.results.start);
    EXPECT_EQ(r.group, c.results.group);
    EXPECT_EQ(r.item1, c.results.item1);
    EXPECT_EQ(r.item2, c.results.item2);
    EXPECT_EQ(r.end, c.results.end);
    EXPECT_EQ(w32::progmanCommands(), c.received);
    std::string groups = w32::progmanGroupsText();
    EXPECT_EQ(groups.find("Quorvel") != std::string::npos, c.groupStored) << groups;
    if (c.groupStored) {
      EXPECT_NE(groups.find("Registration & Utilities"), std::string::npos) << groups;
      EXPECT_NE(groups.find("c:\\my net\\100%s\\notep001.ico"), std::string::npos) << groups;
    }
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

TEST_F(ProgmanTest, CommandsOverTheBufferAreNotSent) {
  ASSERT_EQ(startProgramGroup(), 1);
  // "[CreateGroup()]" is 15 characters: a name of 240 makes 255, which fits.
  std::string name240(240, 'g');
  EXPECT_EQ(createProgramGroup(name240.c_str()), 1);
  std::string name241(241, 'g');
  EXPECT_EQ(createProgramGroup(name241.c_str()), 0);
  // "[AddItem(, , )]" is 15 characters too.
  std::string dir(100, 'd');
  std::string item40(40, 'i');
  EXPECT_EQ(addProgramItem(item40.c_str(), dir.c_str(), "", dir.c_str(), ""), 1);
  std::string item41(41, 'i');
  EXPECT_EQ(addProgramItem(item41.c_str(), dir.c_str(), "", dir.c_str(), ""), 0);
  EXPECT_EQ(endProgramGroup(), 1);
  Strings received = w32::progmanCommands();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0], "[CreateGroup(" + name240 + ")]");
  EXPECT_EQ(received[1].size(), 255u);
}

TEST_F(ProgmanTest, StartFailing) {
  struct Case {
    const char *what;
    long failingCall;       // DDE call that fails
    int start;
  };
  const Case cases[] = {
      {"DdeInitializeA fails: nothing else is set up", 1, 0},
      {"the service name handle fails", 2, 0},
      {"the topic name handle fails", 3, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    freshPrefix();
    w32::armFault(w32::Fault::Dde, c.failingCall, false);
    EXPECT_EQ(startProgramGroup(), c.start);
    EXPECT_EQ(createProgramGroup("Quorvel"), 0);
    EXPECT_EQ(addProgramItem("Read me", "c:\\q\\", "readme.txt", "c:\\q\\", "notep001.ico"), 0);
    EXPECT_EQ(endProgramGroup(), 1);
    w32::clearFaults();
    EXPECT_TRUE(w32::progmanCommands().empty());
    EXPECT_EQ(w32::openHandleCount(), 0);
  }
  // Start begins from a reset record: a later run works again.
  freshPrefix();
  EXPECT_EQ(buildGroup(kTarget).item2, 1);
  EXPECT_EQ(w32::progmanCommands(), kCommands);
}

TEST_F(ProgmanTest, ExistingGroupGetsTheCommandsAgain) {
  Results first = buildGroup(kTarget);
  Results second = buildGroup(kTarget);
  EXPECT_EQ(first.item2, 1);
  EXPECT_EQ(second.group + second.item1 + second.item2, 3);
  Strings twice = kCommands;
  twice.insert(twice.end(), kCommands.begin(), kCommands.end());
  EXPECT_EQ(w32::progmanCommands(), twice);
}

TEST_F(ProgmanTest, CriticalErrorIsShownAndTheCommandGoesOn) {
  ASSERT_EQ(startProgramGroup(), 1);
  w32::setAnswers("message \"A critical error*\" OK\n");
  w32::raiseDdeError(DMLERR_LOW_MEMORY);
  EXPECT_EQ(createProgramGroup("Quorvel"), 1);
  EXPECT_EQ(addProgramItem("Read me", "c:\\q\\", "readme.txt", "c:\\q\\", "notep001.ico"), 1);
  EXPECT_EQ(endProgramGroup(), 1);
  EXPECT_EQ(w32::scriptError(), "");
  EXPECT_EQ(w32::transcript(),
            "message caption=\"Quorvel Installation\" text=\"A critical error has occurred.\" icon=MB_ICONWARNING "
            "buttons=MB_OK answer=OK\n");
  EXPECT_EQ(w32::progmanCommands().size(), 2u);
}

}  // namespace
