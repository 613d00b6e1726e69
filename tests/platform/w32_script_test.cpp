// The scripted front end: answer matching, buttons, actions, transcripts.
#include "w32_fixture.h"

namespace {

using ScriptTest = W32Test;

const char kCaption[] = "Quorvel Installation";
const char kDisk2[] = "Please insert the disk labeled \"Quorvel Disk #2\".";

// Catches a box's icon or buttons misnamed, an answer its box cannot take given, a caption or text mangled.
TEST_F(ScriptTest, BoxesAreAnsweredAndRecorded) {
  const struct {
    UINT type;
    const char *answer;
    int result; // 0: the answer cannot be given to this box
    const char *recorded; // icon=... buttons=... answer=...
  } cases[] = {
      {MB_OK | MB_ICONHAND, "Escape", IDOK, "icon=MB_ICONERROR buttons=MB_OK answer=OK"},
      {MB_OKCANCEL | MB_ICONEXCLAMATION, "Escape", IDCANCEL, "icon=MB_ICONWARNING buttons=MB_OKCANCEL answer=Cancel"},
      {MB_YESNO | MB_ICONQUESTION, "Escape", 0, "icon=MB_ICONQUESTION buttons=MB_YESNO answer=none"},
      {MB_ABORTRETRYIGNORE | MB_ICONSTOP, "Ignore", IDIGNORE, "icon=MB_ICONERROR buttons=MB_ABORTRETRYIGNORE answer=Ignore"},
      {MB_RETRYCANCEL | MB_SETFOREGROUND, "retry", IDRETRY, "icon=none buttons=MB_RETRYCANCEL answer=Retry"},
  };
  for (const auto &c : cases) {
    w32::resetForTest(prefix);
    w32::setAnswers(std::string("message \"x\" ") + c.answer + "\n");
    EXPECT_EQ(MessageBoxA(nullptr, "x", "c", c.type), c.result) << c.recorded;
    std::string line = std::string("message caption=\"c\" text=\"x\" ") + c.recorded + "\n";
    EXPECT_EQ(w32::transcript().substr(0, line.size()), line);
    EXPECT_EQ(w32::scriptError().find("answer file line 1") == std::string::npos, c.result != 0) << w32::scriptError();
    EXPECT_EQ(w32::answersLeft(), c.result ? 0 : 1);
  }
  w32::resetForTest(prefix);
  w32::setAnswers("message \"Please ensure*\" Retry\nmessage \"\" OK\n");
  EXPECT_EQ(MessageBoxA(nullptr, "Please ensure the files are in c:\\pkg\\:\r\n\r\nquorvel.z\tx\xe9", kCaption, MB_RETRYCANCEL), IDRETRY);
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), IDOK);
  EXPECT_EQ(w32::transcript(), "message caption=\"Quorvel Installation\" text=\"Please ensure the files are in c:\\\\pkg\\\\:"
                               "\\r\\n\\r\\nquorvel.z\\tx\\xE9\" icon=none buttons=MB_RETRYCANCEL answer=Retry\n"
                               "message caption=\"Error\" text=\"\" icon=none buttons=MB_OK answer=OK\n");
}

// Catches a glob matched in part, with case, or misread, and a mismatch that eats or misnames the answer.
TEST_F(ScriptTest, PatternsAreGlobsOverTheWholeText) {
  const struct {
    const char *pattern; // as written in the answer file
    const char *text;
    bool matches;
  } cases[] = {
      {"*Disk #2*", kDisk2, true},
      {"*Disk #3*", kDisk2, false},
      {"*Disk #2\\\".*", kDisk2, true}, // a star at the end matches nothing
      {"Please insert the disk labeled \\\"Quorvel Disk #?\\\".", kDisk2, true},
      {"", "x", false},
      {"Please ensure*\\r\\n\\r\\nquorvel.z\\r\\n*", "Please ensure the files are in a:\\:\r\n\r\nquorvel.z\r\nnetscape.z", true},
      {"Can't write file c:\\\\dunmere\\\\*.z (may be in use).", "Can't write file c:\\dunmere\\www.z (may be in use).", true},
      {"Can't write file c:\\dunmere\\quorvel\\\\readme.txt*", "Can't write file c:\\dunmere\\quorvel\\readme.txt (in use).", true},
      {"*a*b*c", "xaxxbxxcx", false},
      {"*a*b*c", "xaxxbxxc", true},
  };
  for (const auto &c : cases) {
    w32::resetForTest(prefix);
    w32::setAnswers(std::string("message \"") + c.pattern + "\" OK\n");
    ASSERT_EQ(w32::scriptError(), "") << c.pattern;
    EXPECT_EQ(MessageBoxA(nullptr, c.text, kCaption, MB_OK) == IDOK, c.matches) << c.pattern;
  }
  w32::resetForTest(prefix);
  w32::setAnswers("message \"*Disk #3*\" OK\n");
  EXPECT_EQ(MessageBoxA(nullptr, kDisk2, kCaption, MB_OK | MB_ICONERROR), 0);
  std::string err = w32::scriptError();
  EXPECT_NE(err.find("answer file line 1 (message \"*Disk #3*\" OK)"), std::string::npos) << err;
  EXPECT_NE(err.find("text=\"Please insert the disk labeled \\\"Quorvel Disk #2\\\".\""), std::string::npos) << err;
  EXPECT_EQ(MessageBoxA(nullptr, "Please insert the disk labeled \"Quorvel Disk #3\".", kCaption, MB_OK), IDOK)
      << "the answer is still there for the right box";
  w32::setAnswers("dialog 2 edit 101 \"c:\\dunmere\" press 201\n");
  EXPECT_EQ(MessageBoxA(nullptr, "x", kCaption, MB_OK), 0);
  EXPECT_NE(w32::scriptError().find("answers a dialog, not a message box"), std::string::npos) << w32::scriptError();
}

// Catches an action run before or long after its answer's event, a bad at-start, eject or armed fault.
TEST_F(ScriptTest, ActionsRunWhenTheirAnswersEventArrives) {
  makeHostDir(scratch("/disk1"));
  makeHostDir(scratch("/disk2"));
  writeHost(scratch("/disk2/NPROGRAM.Z"), "2");
  writeHost(cdrive("/f.txt"), "abc");
  w32::mapDrive('a', scratch("/disk1"));
  w32::setAnswers("at-start fault Open 2 once\ninsert a: " + scratch("/disk2") + "\nfault Read 1 persistent\n"
                  "message \"*Disk #2*\" Retry\neject A:\nclear-faults\nmessage \"*\" Cancel\n");
  HANDLE f = asHandle(OpenFile("c:\\f.txt", nullptr, OF_READ));
  EXPECT_EQ(OpenFile("c:\\f.txt", nullptr, OF_READ), HFILE_ERROR) << "the at-start fault";
  char c;
  DWORD got;
  EXPECT_EQ(w32::hostPath("a:\\nprogram.z"), scratch("/disk1/nprogram.z"));
  EXPECT_TRUE(ReadFile(f, &c, 1, &got, nullptr)) << "not armed before its answer";
  EXPECT_EQ(MessageBoxA(nullptr, kDisk2, kCaption, MB_RETRYCANCEL), IDRETRY);
  EXPECT_EQ(w32::hostPath("a:\\nprogram.z"), scratch("/disk2/NPROGRAM.Z"));
  EXPECT_FALSE(ReadFile(f, &c, 1, &got, nullptr));
  EXPECT_FALSE(ReadFile(f, &c, 1, &got, nullptr));
  EXPECT_EQ(MessageBoxA(nullptr, "eject", kCaption, MB_RETRYCANCEL), IDCANCEL);
  EXPECT_EQ(w32::hostPath("a:\\nprogram.z"), "");
  EXPECT_EQ(OpenFile("a:\\nprogram.z", nullptr, OF_READ), HFILE_ERROR);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(ReadFile(f, &c, 1, &got, nullptr));
  EXPECT_EQ(c, 'b');
  CloseHandle(f);
}

} // namespace
