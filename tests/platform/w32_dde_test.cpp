// The DDE client against the Program Manager stand-in in each of its modes:
// results and DMLERR_ codes, XTYP_DISCONNECT and XTYP_ERROR reaching the
// callback, reconnecting, the time-out, the command language and the
// groups file.
#include "w32_fixture.h"

#include <ddeml.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

namespace {

struct Seen {
  UINT type;
  HCONV conv;
  ULONG_PTR data1;
};
std::vector<Seen> seen; // what the callback was given, in order

HDDEDATA CALLBACK callback(UINT type, UINT, HCONV conv, HSZ, HSZ, HDDEDATA, ULONG_PTR data1, ULONG_PTR) {
  seen.push_back(Seen{type, conv, data1});
  return nullptr;
}

class DdeTest : public W32Test {
protected:
  void SetUp() override {
    W32Test::SetUp();
    seen.clear();
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
  // One execute; 1 accepted, 0 not.
  int execute(HCONV conv, const std::string &text, DWORD timeout = 1000) {
    DWORD result = 0xdead;
    HDDEDATA r = DdeClientTransaction(reinterpret_cast<LPBYTE>(const_cast<char *>(text.c_str())),
                                      static_cast<DWORD>(text.size() + 1), conv, nullptr, CF_TEXT, XTYP_EXECUTE,
                                      timeout, &result);
    EXPECT_EQ(result, r ? 0x8000u : 0u) << "DDE_FACK exactly when accepted";
    return r ? 1 : 0;
  }

  DWORD inst = 0;
  HSZ service = nullptr, topic = nullptr;
};

// Catches a string handle that is not one atom for a text in any case, a
// spelling not kept, a reference freed twice, a text Windows refuses taken,
// and an error that DdeGetLastError does not reset.
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

// Each call's result and DdeGetLastError against the stand-in in each mode.
// Catches a rejected, timed-out (no later than its time-out and a margin)
// or faulted execute taken as accepted or sent, a conversation that
// survives its server's disconnect, XTYP_DISCONNECT or XTYP_ERROR not given
// to the callback exactly once and only inside a later call, a request or
// an asynchronous or Unicode transaction accepted, and a second
// DdeUninitialize that succeeds.
TEST_F(DdeTest, ConversationsAndTheirFailures) {
  HCONV conv = nullptr, again = nullptr;
  auto connect = [&](w32::ProgmanMode mode, HSZ s = nullptr) {
    return [=, &conv] {
      w32::setProgmanServer(mode);
      conv = DdeConnect(inst, s ? s : service, topic, nullptr);
      return conv ? 0u : DdeGetLastError(inst);
    };
  };
  auto exec = [&](const char *text, DWORD timeout = 1000) {
    return [=, &conv] { return execute(conv, text, timeout) ? 0u : DdeGetLastError(inst); };
  };
  char text[] = "[CreateGroup(G)]";
  auto begin = std::chrono::steady_clock::now();
  auto ms = [&] { return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count(); };
  expectCalls({
      {"a rejecting server", connect(w32::ProgmanMode::RejectAll), 0},
      {"its execute", exec("[CreateGroup(Quorvel)]"), DMLERR_NOTPROCESSED},
      {"disconnect", [&] { return DdeDisconnect(conv) ? 0u : 1u; }, 0},
      {"no such service", connect(w32::ProgmanMode::Normal, DdeCreateStringHandleA(inst, "Other", CP_WINANSI)), DMLERR_NO_CONV_ESTABLISHED},
      {"an absent server", connect(w32::ProgmanMode::Absent), DMLERR_NO_CONV_ESTABLISHED},
      {"a server that never answers", connect(w32::ProgmanMode::NeverAnswer), 0},
      {"its execute", [&] { begin = std::chrono::steady_clock::now(); return exec("[CreateGroup(Slow)]", 300)(); }, DMLERR_EXECACKTIMEOUT},
      {"after its time-out", [&] { return ms() >= 300 && ms() < 800 ? 0u : 1u; }, 0},
      {"the server answers again", [&] { w32::setProgmanServer(w32::ProgmanMode::Normal); return exec("[CreateGroup(Fast)]")(); }, 0},
      {"a request", [&] {
         DWORD result = 0xdead;
         return DdeClientTransaction(reinterpret_cast<LPBYTE>(text), sizeof text, conv, nullptr, CF_TEXT, XTYP_REQUEST, 1000, &result) || result
                    ? 1u : DdeGetLastError(inst);
       }, DMLERR_NOTPROCESSED},
      {"an asynchronous execute", [&] {
         return DdeClientTransaction(reinterpret_cast<LPBYTE>(text), sizeof text, conv, nullptr, CF_TEXT, XTYP_EXECUTE, TIMEOUT_ASYNC, nullptr)
                    ? 1u : DdeGetLastError(inst);
       }, DMLERR_INVALIDPARAMETER},
      {"no conversation", [&] {
         return DdeClientTransaction(reinterpret_cast<LPBYTE>(text), sizeof text, nullptr, nullptr, CF_TEXT, XTYP_EXECUTE, 1000, nullptr) ? 1u : 0u;
       }, 0},
      {"Unicode text: received, refused", [&] {
         return DdeClientTransaction(reinterpret_cast<LPBYTE>(text), sizeof text, conv, nullptr, CF_UNICODETEXT, XTYP_EXECUTE, 1000, nullptr)
                    ? 1u : DdeGetLastError(inst);
       }, DMLERR_NOTPROCESSED},
      {"a faulted execute", [&] { w32::armFault(w32::Fault::Dde, 1, false); return exec("[CreateGroup(H)]")(); }, DMLERR_POSTMSG_FAILED},
      {"a faulted connect", [&] { w32::armFault(w32::Fault::Dde, 1, false); return DdeConnect(inst, service, topic, nullptr) ? 0u : DdeGetLastError(inst); },
       DMLERR_NO_CONV_ESTABLISHED},
      {"a critical error is raised", [&] { w32::raiseDdeError(DMLERR_LOW_MEMORY); return static_cast<DWORD>(seen.size()); }, 0},
      {"the next call goes on", exec("[CreateGroup(G)]"), 0},
      {"and gave it to the callback", [&] { return seen.size() == 1 && seen[0].type == XTYP_ERROR && !seen[0].conv ? LOWORD(seen[0].data1) : 0; },
       DMLERR_LOW_MEMORY},
      {"disconnect", [&] { seen.clear(); return DdeDisconnect(conv) && !DdeDisconnect(conv) && seen.empty() ? 0u : 1u; }, 0},
      {"a server that disconnects", connect(w32::ProgmanMode::DisconnectAfterFirst), 0},
      {"its first execute", exec("[CreateGroup(G)]"), 0},
      {"disconnected once", [&] { return seen.size() == 1 && seen[0].type == XTYP_DISCONNECT && seen[0].conv == conv ? 0u : 1u; }, 0},
      {"the conversation is gone", [&] { return static_cast<DWORD>(w32::openHandleCount()); }, 4},
      {"nothing goes over the ended conversation", [&] { return execute(conv, "[ShowGroup(G, 1)]") + (DdeDisconnect(conv) ? 2u : 0u); }, 0},
      {"a new one, the same current group", [&] { again = conv; connect(w32::ProgmanMode::DisconnectAfterFirst)(); return exec("[AddItem(c:\\x.exe)]")(); }, 0},
      {"a second instance, faulted", [&] {
         DWORD second = 0;
         w32::armFault(w32::Fault::Dde, 1, false);
         return DdeInitializeA(&second, callback, APPCMD_CLIENTONLY, 0) + second; }, DMLERR_SYS_ERROR},
      {"an instance without a callback", [&] { DWORD second = 0; return DdeInitializeA(&second, nullptr, APPCMD_CLIENTONLY, 0); }, DMLERR_INVALIDPARAMETER},
  });
  EXPECT_NE(again, conv);
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(w32::progmanCommands(), (std::vector<std::string>{"[CreateGroup(Quorvel)]", "[CreateGroup(Slow)]", "[CreateGroup(Fast)]",
                                                              "[CreateGroup(G)]", "[CreateGroup(G)]", "[CreateGroup(G)]", "[AddItem(c:\\x.exe)]"}))
      << "received, rejected or not answered; a faulted one not sent";
  EXPECT_EQ(w32::progmanGroupsText(), "; Program Manager groups: [group], then Item<n>=name|command line|icon path\n"
                                      "\n[Fast]\n\n[G]\nItem1=x|c:\\x.exe|\n");
  EXPECT_TRUE(DdeUninitialize(inst)) << "frees what the instance still holds";
  EXPECT_FALSE(DdeUninitialize(inst));
  inst = 0;
}

// The command language, one execute after another on a fresh stand-in.
// Catches a command accepted or rejected wrongly, a groups file that does
// not end as the commands say, and (on a file written by hand or another
// program) a command that changes lines other than those it names.
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
      {"several commands in one execute, blanks between",
       {{" [CreateGroup(A)] [AddItem(a.exe,One)]\r\n[AddItem(b.exe, Two, b.ico, 0)] ", 1}},
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
      {"no current group for AddItem", {{"[AddItem(a.exe, A)]", 0}}, ""},
      {"commands ignore case", {{"[creategroup(A)][ADDITEM(a.exe, A)]", 1}}, "\n[A]\nItem1=A|a.exe|\n"},
      {"the commands before a failing one stay done", {{"[CreateGroup(A)][AddItem(a.exe)][Unknown(1)]", 0}},
       "\n[A]\nItem1=a|a.exe|\n"},
      {"malformed: nothing is done",
       {{"[CreateGroup(A)][AddItem(a.exe)", 0},
        {"[CreateGroup(A)] x", 0},
        {"CreateGroup(A)", 0},
        {"[CreateGroup(\"A)]", 0},
        {"[CreateGroup(A]", 0},
        {"[(A)]", 0},
        {"", 0}},
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
    for (const auto &e : c.executes) EXPECT_EQ(execute(conv, e.first), e.second) << e.first;
    std::string text = w32::progmanGroupsText();
    if (c.groups.empty()) {
      EXPECT_EQ(text.find('['), std::string::npos) << text;
    } else {
      EXPECT_EQ(text, c.onOwn ? c.groups : "; Program Manager groups: [group], then Item<n>=name|command line|icon path\n" + c.groups);
    }
  }
}

// Catches a groups.ini that is not a regular file being read (a FIFO would
// hang the reader, a link to /dev/zero fill the memory) or replaced.
TEST_F(DdeTest, GroupsFileThatIsNotARegularFile) {
  std::string file = prefix + "/progman/groups.ini";
  makeHostDir(prefix + "/progman");
  for (bool fifo : {true, false}) {
    SCOPED_TRACE(fifo ? "a FIFO" : "a link to /dev/zero");
    ASSERT_EQ(fifo ? mkfifo(file.c_str(), 0600) : symlink("/dev/zero", file.c_str()), 0);
    HCONV conv = DdeConnect(inst, service, service, nullptr);
    ASSERT_NE(conv, nullptr);
    EXPECT_EQ(execute(conv, "[CreateGroup(Quorvel)]", 5000), 0);
    DdeDisconnect(conv);
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(fifo ? S_ISFIFO(st.st_mode) : S_ISLNK(st.st_mode));
    unlink(file.c_str());
  }
}

} // namespace
