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

TEST_F(DdeTest, StringHandlesAreAtoms) {
  EXPECT_EQ(service, topic) << "the same text in any case is the same handle";
  char buf[16];
  memset(buf, kJunk, sizeof buf);
  EXPECT_EQ(DdeQueryStringA(inst, topic, buf, sizeof buf, CP_WINANSI), 7u);
  EXPECT_STREQ(buf, "PROGMAN") << "the first spelling is kept";
  EXPECT_EQ(w32::openHandleCount(), 3) << "the instance and two references";
  EXPECT_TRUE(DdeFreeStringHandle(inst, service));
  EXPECT_TRUE(DdeFreeStringHandle(inst, topic));
  EXPECT_FALSE(DdeFreeStringHandle(inst, topic)) << "no reference left";
  EXPECT_EQ(DdeGetLastError(inst), static_cast<UINT>(DMLERR_INVALIDPARAMETER));
  EXPECT_EQ(DdeGetLastError(inst), static_cast<UINT>(DMLERR_NO_ERROR)) << "reading the error resets it";
  EXPECT_EQ(DdeCreateStringHandleA(inst, std::string(256, 'x').c_str(), CP_WINANSI), nullptr);
  EXPECT_EQ(DdeCreateStringHandleA(inst, "x", CP_WINUNICODE), nullptr);
  EXPECT_EQ(DdeCreateStringHandleA(inst + 1000, "x", CP_WINANSI), nullptr) << "no such instance";
  EXPECT_EQ(w32::openHandleCount(), 1);
}

// The normal and disconnecting stand-ins are driven through the product's
// group steps (config_tests); here what a rejecting or absent Program
// Manager leaves in DdeGetLastError.
TEST_F(DdeTest, RejectingAndAbsentServers) {
  w32::setProgmanServer(w32::ProgmanMode::RejectAll);
  HCONV conv = DdeConnect(inst, service, topic, nullptr);
  ASSERT_NE(conv, nullptr);
  EXPECT_EQ(execute(conv, "[CreateGroup(Quorvel)]"), 0);
  EXPECT_EQ(DdeGetLastError(inst), static_cast<UINT>(DMLERR_NOTPROCESSED));
  EXPECT_EQ(w32::progmanCommands(), std::vector<std::string>{"[CreateGroup(Quorvel)]"}) << "received, then rejected";
  EXPECT_EQ(w32::progmanGroupsText().find("[Quorvel]"), std::string::npos);
  EXPECT_TRUE(DdeDisconnect(conv));
  w32::setProgmanServer(w32::ProgmanMode::Absent);
  EXPECT_EQ(DdeConnect(inst, service, topic, nullptr), nullptr);
  EXPECT_EQ(DdeGetLastError(inst), static_cast<UINT>(DMLERR_NO_CONV_ESTABLISHED));
}

TEST_F(DdeTest, NeverAnswerTimesOut) {
  w32::setProgmanServer(w32::ProgmanMode::NeverAnswer);
  HCONV conv = DdeConnect(inst, service, topic, nullptr);
  ASSERT_NE(conv, nullptr);
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(execute(conv, "[CreateGroup(Slow)]", 300), 0);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_GE(ms, 300.0);
  EXPECT_LT(ms, 800.0) << "no longer than the time-out and a margin";
  EXPECT_EQ(DdeGetLastError(inst), static_cast<UINT>(DMLERR_EXECACKTIMEOUT));
  EXPECT_EQ(w32::progmanCommands(), std::vector<std::string>{"[CreateGroup(Slow)]"}) << "received, not answered";
  // The conversation stays; a server that answers again is heard.
  w32::setProgmanServer(w32::ProgmanMode::Normal);
  EXPECT_EQ(execute(conv, "[CreateGroup(Fast)]"), 1);
  EXPECT_TRUE(DdeDisconnect(conv));
  EXPECT_FALSE(DdeDisconnect(conv)) << "already gone";
}

TEST_F(DdeTest, DisconnectReachesTheCallbackOnce) {
  w32::setProgmanServer(w32::ProgmanMode::DisconnectAfterFirst);
  HCONV conv = DdeConnect(inst, service, topic, nullptr);
  ASSERT_NE(conv, nullptr);
  EXPECT_EQ(execute(conv, "[CreateGroup(G)]"), 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, static_cast<UINT>(XTYP_DISCONNECT));
  EXPECT_EQ(seen[0].conv, conv);
  EXPECT_EQ(w32::openHandleCount(), 3) << "the conversation is gone";
  EXPECT_EQ(execute(conv, "[ShowGroup(G, 1)]"), 0) << "nothing goes over an ended conversation";
  EXPECT_FALSE(DdeDisconnect(conv));
  HCONV again = DdeConnect(inst, service, topic, nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again, conv);
  EXPECT_EQ(execute(again, "[AddItem(c:\\x.exe)]"), 1) << "a new conversation, the same current group";
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(w32::progmanGroupsText(), "; Program Manager groups: [group], then Item<n>=name|command line|icon path\n"
                                      "\n[G]\nItem1=x|c:\\x.exe|\n");
}

TEST_F(DdeTest, ErrorReachesTheCallback) {
  HCONV conv = DdeConnect(inst, service, topic, nullptr);
  ASSERT_NE(conv, nullptr);
  w32::raiseDdeError(DMLERR_LOW_MEMORY);
  EXPECT_TRUE(seen.empty()) << "only inside a later DDE call";
  EXPECT_EQ(execute(conv, "[CreateGroup(G)]"), 1) << "the call goes on";
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, static_cast<UINT>(XTYP_ERROR));
  EXPECT_EQ(seen[0].conv, nullptr);
  EXPECT_EQ(LOWORD(seen[0].data1), DMLERR_LOW_MEMORY);
  EXPECT_TRUE(DdeDisconnect(conv));
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(DdeTest, ConnectAndTransactionFailures) {
  HSZ other = DdeCreateStringHandleA(inst, "Other", CP_WINANSI);
  EXPECT_EQ(DdeConnect(inst, other, topic, nullptr), nullptr) << "no such service";
  EXPECT_EQ(DdeGetLastError(inst), static_cast<UINT>(DMLERR_NO_CONV_ESTABLISHED));
  HCONV any = DdeConnect(inst, nullptr, nullptr, nullptr);
  ASSERT_NE(any, nullptr) << "any service, any topic finds PROGMAN";
  DWORD result = 0xdead;
  char text[] = "[CreateGroup(G)]";
  EXPECT_EQ(DdeClientTransaction(reinterpret_cast<LPBYTE>(text), sizeof text, any, nullptr, CF_TEXT, XTYP_REQUEST,
                                 1000, &result),
            nullptr);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(DdeGetLastError(inst), static_cast<UINT>(DMLERR_NOTPROCESSED)) << "only executes";
  EXPECT_EQ(DdeClientTransaction(reinterpret_cast<LPBYTE>(text), sizeof text, any, nullptr, CF_TEXT, XTYP_EXECUTE,
                                 TIMEOUT_ASYNC, nullptr),
            nullptr);
  EXPECT_EQ(DdeGetLastError(inst), static_cast<UINT>(DMLERR_INVALIDPARAMETER));
  EXPECT_EQ(DdeClientTransaction(reinterpret_cast<LPBYTE>(text), sizeof text, nullptr, nullptr, CF_TEXT,
                                 XTYP_EXECUTE, 1000, nullptr),
            nullptr)
      << "no conversation";
  EXPECT_EQ(DdeClientTransaction(reinterpret_cast<LPBYTE>(text), sizeof text, any, nullptr, CF_UNICODETEXT,
                                 XTYP_EXECUTE, 1000, nullptr),
            nullptr)
      << "Program Manager reads text";

  // Fault class Dde: a failing connect or transaction sends nothing.
  std::vector<std::string> before = w32::progmanCommands();
  w32::armFault(w32::Fault::Dde, 1, false);
  EXPECT_EQ(DdeConnect(inst, service, topic, nullptr), nullptr);
  w32::armFault(w32::Fault::Dde, 1, false);
  EXPECT_EQ(execute(any, "[CreateGroup(H)]"), 0);
  EXPECT_EQ(DdeGetLastError(inst), static_cast<UINT>(DMLERR_POSTMSG_FAILED));
  EXPECT_EQ(w32::progmanCommands(), before);
  w32::armFault(w32::Fault::Dde, 1, false);
  DWORD second = 0;
  EXPECT_EQ(DdeInitializeA(&second, callback, APPCMD_CLIENTONLY, 0), static_cast<UINT>(DMLERR_SYS_ERROR));
  EXPECT_EQ(second, 0u);
  EXPECT_EQ(DdeInitializeA(&second, nullptr, APPCMD_CLIENTONLY, 0), static_cast<UINT>(DMLERR_INVALIDPARAMETER));
  // Uninitialising frees what the instance still holds.
  EXPECT_TRUE(DdeUninitialize(inst));
  EXPECT_FALSE(DdeUninitialize(inst));
  inst = 0;
}

// The command language, one execute after another on a fresh stand-in:
// whether each is accepted, and the groups file at the end.
TEST_F(DdeTest, ProgramManagerCommands) {
  struct Case {
    const char *what;
    std::vector<std::pair<std::string, int>> executes;
    std::string groups; // the lines after the comment line
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
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    unlink((prefix + "/progman/groups.ini").c_str());
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
      EXPECT_EQ(text, "; Program Manager groups: [group], then Item<n>=name|command line|icon path\n" + c.groups);
    }
  }
}

// A groups.ini written by hand or by another program: a command changes
// the lines of what it names and keeps every other line as it was.
TEST_F(DdeTest, GroupsFileKeepsWhatItDoesNotKnow) {
  const char kOwn[] = "; kept\r\n[Other]\r\nFoo=bar\r\nodd line\r\nItem7=x|y|z\r\n\r\n[Quorvel]\r\n; note\r\n"
                      "Item1=Read me|c:\\old\\readme.txt|\r\nKeep=1\r\n";
  const struct {
    const char *what, *execute, *after;
  } cases[] = {
      {"an item replaced where it stands, a new one after the group's last line",
       "[CreateGroup(quorvel)][AddItem(c:\\q\\readme.txt, Read me)][AddItem(c:\\q\\q.exe, Reg)]",
       "; kept\r\n[Other]\r\nFoo=bar\r\nodd line\r\nItem7=x|y|z\r\n\r\n[Quorvel]\r\n; note\r\n"
       "Item1=Read me|c:\\q\\readme.txt|\r\nKeep=1\r\nItem2=Reg|c:\\q\\q.exe|\n"},
      {"another group's item numbers and odd lines untouched",
       "[ShowGroup(Other)][AddItem(n.exe, New)][DeleteItem(x)]",
       "; kept\r\n[Other]\r\nFoo=bar\r\nodd line\r\nItem8=New|n.exe|\n\r\n[Quorvel]\r\n; note\r\n"
       "Item1=Read me|c:\\old\\readme.txt|\r\nKeep=1\r\n"},
      {"a new group at the end", "[CreateGroup(New)]", nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    makeHostDir(prefix + "/progman");
    writeHost(prefix + "/progman/groups.ini", kOwn);
    w32::resetForTest(prefix);
    DWORD inst = 0;
    ASSERT_EQ(DdeInitializeA(&inst, callback, APPCMD_CLIENTONLY, 0), static_cast<UINT>(DMLERR_NO_ERROR));
    HSZ service = DdeCreateStringHandleA(inst, "PROGMAN", CP_WINANSI);
    HCONV conv = DdeConnect(inst, service, service, nullptr);
    EXPECT_EQ(execute(conv, c.execute), 1);
    EXPECT_EQ(w32::progmanGroupsText(), c.after ? std::string(c.after) : std::string(kOwn) + "\n[New]\n");
    DdeUninitialize(inst);
  }
}

// A groups.ini that is not a regular file (a FIFO would hang the reader, a
// link to /dev/zero fill the memory) is not read: the command fails and the
// file stays what it was.
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
