// The DDE client against the Program Manager stand-in: string handles, errors, commands, the groups file.
#include "w32_fixture.h"

#include <ddeml.h>

namespace {

HDDEDATA CALLBACK callback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) { return nullptr; }

class DdeTest : public W32Test {
protected:
  void SetUp() override {
    W32Test::SetUp();
    ASSERT_EQ(DdeInitializeA(&inst, callback, APPCMD_CLIENTONLY, 0), static_cast<UINT>(DMLERR_NO_ERROR));
    service = DdeCreateStringHandleA(inst, "PROGMAN", CP_WINANSI);
    topic = DdeCreateStringHandleA(inst, "progman", CP_WINANSI);
    ASSERT_NE(service, nullptr);
  }
  void TearDown() override {
    if (inst) DdeUninitialize(inst);
    EXPECT_EQ(w32::openHandleCount(), 0);
    W32Test::TearDown();
  }
  // One transaction (an execute unless told otherwise): 1 when accepted,
  // else DdeGetLastError's code (DMLERR_NO_ERROR: refused without one).
  DWORD transact(HCONV conv, const std::string &text, DWORD timeout = 1000, UINT format = CF_TEXT,
                 UINT type = XTYP_EXECUTE) {
    DWORD result = 0xdead;
    HDDEDATA r = DdeClientTransaction(reinterpret_cast<LPBYTE>(const_cast<char *>(text.c_str())),
                                      static_cast<DWORD>(text.size() + 1), conv, nullptr, format, type, timeout,
                                      &result);
    EXPECT_EQ(result, r ? 0x8000u : 0u) << "DDE_FACK exactly when accepted";
    return r ? 1 : DdeGetLastError(inst);
  }

  DWORD inst = 0;
  HSZ service = nullptr, topic = nullptr;
};

// Catches a handle not one atom per text in any case, a spelling lost, a double free, a bad text taken.
TEST_F(DdeTest, StringHandlesAreAtoms) {
  EXPECT_EQ(service, topic) << "the same text in any case is the same handle";
  char buf[16];
  memset(buf, kJunk, sizeof buf);
  EXPECT_EQ(DdeQueryStringA(inst, topic, buf, sizeof buf, CP_WINANSI), 7u);
  EXPECT_STREQ(buf, "PROGMAN") << "the first spelling is kept";
  EXPECT_EQ(w32::openHandleCount(), 3) << "the instance and two references";
  expectCalls({
      {"free", [&] { return DdeFreeStringHandle(inst, service) && DdeFreeStringHandle(inst, topic) ? 0u : 1u; }, 0},
      {"free again", [&] { return DdeFreeStringHandle(inst, topic) ? 0u : DdeGetLastError(inst); }, DMLERR_INVALIDPARAMETER},
      {"the error, once read, is reset", [&] { return DdeGetLastError(inst); }, DMLERR_NO_ERROR},
      {"a text over 255 characters", [&] { return DdeCreateStringHandleA(inst, std::string(256, 'x').c_str(), CP_WINANSI) ? 0u : 1u; }, 1},
      {"a wide text", [&] { return DdeCreateStringHandleA(inst, "x", CP_WINUNICODE) ? 0u : 1u; }, 1},
      {"no such instance", [&] { return DdeCreateStringHandleA(inst + 1000, "x", CP_WINANSI) ? 0u : 1u; }, 1},
  });
  EXPECT_EQ(w32::openHandleCount(), 1);
}

// Catches a failed execute taken as accepted, sent, or given the wrong code, and a bad uninitialise.
TEST_F(DdeTest, WhatFailuresLeaveInDdeGetLastError) {
  HCONV conv = nullptr;
  auto connect = [&](w32::ProgmanMode mode, HSZ s) {
    return [=, &conv] {
      w32::setProgmanServer(mode);
      conv = DdeConnect(inst, s, topic, nullptr);
      return conv ? 0u : DdeGetLastError(inst);
    };
  };
  auto send = [&](UINT format, UINT type, DWORD timeout, bool conversation = true) {
    return [=, &conv] { return transact(conversation ? conv : nullptr, "[CreateGroup(G)]", timeout, format, type); };
  };
  expectCalls({
      {"no such service", connect(w32::ProgmanMode::Normal, DdeCreateStringHandleA(inst, "Other", CP_WINANSI)),
       DMLERR_NO_CONV_ESTABLISHED},
      {"an absent server", connect(w32::ProgmanMode::Absent, service), DMLERR_NO_CONV_ESTABLISHED},
      {"a server that rejects", connect(w32::ProgmanMode::RejectAll, service), 0},
      {"its execute", send(CF_TEXT, XTYP_EXECUTE, 1000), DMLERR_NOTPROCESSED},
      {"a server that never answers", connect(w32::ProgmanMode::NeverAnswer, nullptr), 0}, // any service: PROGMAN
      {"its execute", send(CF_TEXT, XTYP_EXECUTE, 100), DMLERR_EXECACKTIMEOUT},
      {"a request", send(CF_TEXT, XTYP_REQUEST, 1000), DMLERR_NOTPROCESSED},
      {"an asynchronous execute", send(CF_TEXT, XTYP_EXECUTE, TIMEOUT_ASYNC), DMLERR_INVALIDPARAMETER},
      {"no conversation", send(CF_TEXT, XTYP_EXECUTE, 1000, false), DMLERR_NO_ERROR},
      {"Unicode text: received, refused",
       [&] { w32::setProgmanServer(w32::ProgmanMode::Normal); return send(CF_UNICODETEXT, XTYP_EXECUTE, 1000)(); },
       DMLERR_NOTPROCESSED},
      {"a faulted execute: not sent",
       [&] { w32::armFault(w32::Fault::Dde, 1, false); return send(CF_TEXT, XTYP_EXECUTE, 1000)(); },
       DMLERR_POSTMSG_FAILED},
      {"an instance without a callback", [] { DWORD second = 0; return DdeInitializeA(&second, nullptr, APPCMD_CLIENTONLY, 0); },
       DMLERR_INVALIDPARAMETER},
  });
  EXPECT_EQ(w32::progmanCommands(), std::vector<std::string>(3, "[CreateGroup(G)]")) << "rejected, not answered, refused";
  EXPECT_EQ(w32::progmanGroupsText().find('['), std::string::npos);
  EXPECT_TRUE(DdeUninitialize(inst)) << "frees the conversations the instance still holds";
  EXPECT_FALSE(DdeUninitialize(inst));
  inst = 0;
}

// Catches a command accepted or rejected wrongly, or one that changes lines it does not name.
TEST_F(DdeTest, ProgramManagerCommands) {
  const std::string own = "; kept\r\n[Other]\r\nFoo=bar\r\nodd line\r\nItem7=x|y|z\r\n\r\n[Quorvel]\r\n; note\r\n"
                          "Item1=Read me|c:\\old\\readme.txt|\r\nKeep=1\r\n";
  struct Case {
    const char *what;
    std::vector<std::pair<std::string, int>> executes;
    std::string groups; // the lines after the comment line, or the whole file after own
    bool onOwn = false; // the groups file starts as own, written by hand or another program
  };
  const Case cases[] = {
      {"arguments split on commas and trimmed",
       {{"[CreateGroup(Quorvel)]", 1},
        {"[AddItem(c:\\my net\\q.exe ,  Registration & Utilities  ,c:\\my net\\q.exe)]", 1}},
       "\n[Quorvel]\nItem1=Registration & Utilities|c:\\my net\\q.exe|c:\\my net\\q.exe\n"},
      {"several commands in one execute, blanks between, any case",
       {{" [CreateGroup(A)] [additem(a.exe,One)]\r\n[AddItem(b.exe, Two, b.ico, 0)] ", 1}},
       "\n[A]\nItem1=One|a.exe|\nItem2=Two|b.exe|b.ico\n"},
      {"quotes keep commas and parentheses",
       {{"[CreateGroup(\"Tools, (old)\")][AddItem(\"c:\\a b\\x.exe\", \"X, y\")]", 1}},
       "\n[Tools, (old)]\nItem1=X, y|c:\\a b\\x.exe|\n"},
      {"CreateGroup of an existing group makes it current",
       {{"[CreateGroup(A)][CreateGroup(B)]", 1}, {"[CreateGroup(a)][AddItem(x.exe, X)]", 1}},
       "\n[A]\nItem1=X|x.exe|\n\n[B]\n"},
      {"an item of the same name is replaced; without a name, the file name",
       {{"[CreateGroup(A)][AddItem(c:\\d\\x.exe, X)][AddItem(c:\\d\\Y.COM)]", 1}, {"[AddItem(c:\\e\\z.exe, x)]", 1}},
       "\n[A]\nItem1=x|c:\\e\\z.exe|\nItem2=Y|c:\\d\\Y.COM|\n"},
      {"ShowGroup, DeleteItem, DeleteGroup",
       {{"[CreateGroup(A)][AddItem(a.exe)][AddItem(b.exe)][CreateGroup(B)][ShowGroup(A, 1)][DeleteItem(a)]", 1},
        {"[DeleteGroup(B)]", 1},
        {"[DeleteGroup(B)]", 0}},
       "\n[A]\nItem2=b|b.exe|\n"},
      {"the commands before a failing one stay done", {{"[CreateGroup(A)][AddItem(a.exe)][Unknown(1)]", 0}},
       "\n[A]\nItem1=a|a.exe|\n"},
      {"malformed: nothing is done",
       {{"[CreateGroup(A)][AddItem(a.exe)", 0}, {"[CreateGroup(A)] x", 0}, {"CreateGroup(A)", 0}, {"[CreateGroup(\"A)]", 0},
        {"[CreateGroup(A]", 0}, {"[(A)]", 0}, {"", 0}},
       ""},
      {"bad arguments", {{"[CreateGroup()]", 0}, {"[CreateGroup(A, b, c)]", 0}, {"[CreateGroup(A)][AddItem(a|b)]", 0}},
       "\n[A]\n"},
      {"on a file of its own: an item replaced where it stands, a new one after the group's last line",
       {{"[CreateGroup(quorvel)][AddItem(c:\\q\\readme.txt, Read me)][AddItem(c:\\q\\q.exe, Reg)]", 1}},
       "; kept\r\n[Other]\r\nFoo=bar\r\nodd line\r\nItem7=x|y|z\r\n\r\n[Quorvel]\r\n; note\r\n"
       "Item1=Read me|c:\\q\\readme.txt|\r\nKeep=1\r\nItem2=Reg|c:\\q\\q.exe|\n", true},
      {"on a file of its own: another group's item numbers and odd lines untouched",
       {{"[ShowGroup(Other)][AddItem(n.exe, New)][DeleteItem(x)]", 1}},
       "; kept\r\n[Other]\r\nFoo=bar\r\nodd line\r\nItem8=New|n.exe|\n\r\n[Quorvel]\r\n; note\r\n"
       "Item1=Read me|c:\\old\\readme.txt|\r\nKeep=1\r\n", true},
      {"on a file of its own: a new group at the end", {{"[CreateGroup(New)]", 1}}, own + "\n[New]\n", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    unlink((prefix + "/progman/groups.ini").c_str());
    makeHostDir(prefix + "/progman");
    if (c.onOwn) writeHost(prefix + "/progman/groups.ini", own);
    w32::resetForTest(prefix); // no current group, no instances
    ASSERT_EQ(DdeInitializeA(&(inst = 0), callback, APPCMD_CLIENTONLY, 0), static_cast<UINT>(DMLERR_NO_ERROR));
    service = DdeCreateStringHandleA(inst, "PROGMAN", CP_WINANSI);
    HCONV conv = DdeConnect(inst, service, service, nullptr);
    ASSERT_NE(conv, nullptr);
    for (const auto &e : c.executes) EXPECT_EQ(transact(conv, e.first) == 1, e.second == 1) << e.first;
    std::string text = w32::progmanGroupsText();
    if (c.groups.empty()) {
      EXPECT_EQ(text.find('['), std::string::npos) << text;
    } else {
      EXPECT_EQ(text, c.onOwn ? c.groups : "; Program Manager groups: [group], then Item<n>=name|command line|icon path\n" + c.groups);
    }
  }
}

// Catches a groups.ini that is not a regular file read (a FIFO hangs, /dev/zero fills memory) or replaced.
TEST_F(DdeTest, GroupsFileThatIsNotARegularFile) {
  std::string file = prefix + "/progman/groups.ini";
  makeHostDir(prefix + "/progman");
  for (bool fifo : {true, false}) {
    SCOPED_TRACE(fifo ? "a FIFO" : "a link to /dev/zero");
    ASSERT_EQ(fifo ? mkfifo(file.c_str(), 0600) : symlink("/dev/zero", file.c_str()), 0);
    HCONV conv = DdeConnect(inst, service, service, nullptr);
    ASSERT_NE(conv, nullptr);
    EXPECT_NE(transact(conv, "[CreateGroup(Quorvel)]", 5000), 1u);
    DdeDisconnect(conv);
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(fifo ? S_ISFIFO(st.st_mode) : S_ISLNK(st.st_mode));
    unlink(file.c_str());
  }
}

} // namespace
