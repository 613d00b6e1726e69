// The client side of the DDE Management Library (see ddeml.h).  Instances,
// string handles (a case-insensitive atom table, counted per instance, as
// in Win32) and conversations live here; executes go to the Program
// Manager stand-in (w32_progman.cpp), which answers on its own thread.
#include "machine/w32_core.h"
#include "machine/w32_script.h"
#include "w32_dde.h"

#include <ddeml.h>

#include "progman/w32_progman.h"

#include <cstring>
#include <deque>

using namespace w32int;

namespace {

struct Notification {
  UINT type;
  HCONV conv;
  ULONG_PTR data1;
};

struct Instance {
  PFNCALLBACK callback = nullptr;
  DWORD flags = 0;
  DWORD owner = 0; // thread that initialised it: callbacks run there
  UINT lastError = DMLERR_NO_ERROR;
  std::map<intptr_t, long> strings; // atom -> references held by this instance
  std::deque<Notification> pending;
};

struct Conversation {
  DWORD instance = 0;
  bool endedByServer = false; // XTYP_DISCONNECT queued, not yet delivered
};

struct Dde {
  std::mutex m;
  std::map<DWORD, Instance> instances;
  std::map<intptr_t, Conversation> conversations;
  std::vector<std::string> atoms; // atom 0xC000 + i
  DWORD nextInstance = 0x101;
  intptr_t nextConversation = 0x50004;
};

Dde &dde() {
  static Dde *d = new Dde;
  return *d;
}

const intptr_t kAtomBase = 0xC000;
thread_local int inCallback = 0;

intptr_t atomOf(Dde &d, const std::string &s) {
  for (size_t i = 0; i < d.atoms.size(); ++i) {
    if (equalsNoCase(d.atoms[i], s)) return kAtomBase + static_cast<intptr_t>(i);
  }
  d.atoms.push_back(s);
  return kAtomBase + static_cast<intptr_t>(d.atoms.size() - 1);
}

bool atomText(const Dde &d, HSZ hsz, std::string *out) {
  intptr_t a = reinterpret_cast<intptr_t>(hsz) - kAtomBase;
  if (a < 0 || a >= static_cast<intptr_t>(d.atoms.size())) return false;
  *out = d.atoms[static_cast<size_t>(a)];
  return true;
}

Instance *instanceLocked(Dde &d, DWORD id) {
  auto it = d.instances.find(id);
  return it == d.instances.end() ? nullptr : &it->second;
}

void setDmlError(DWORD id, UINT error) {
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  if (Instance *in = instanceLocked(d, id)) in->lastError = error;
}

// Runs the instance's waiting notifications through its callback, on the
// instance's own thread and never from within a callback.  A conversation
// is forgotten when its XTYP_DISCONNECT is delivered.
void deliver(DWORD id) {
  if (inCallback) return;
  std::deque<Notification> todo;
  PFNCALLBACK cb = nullptr;
  DWORD flags = 0;
  {
    Dde &d = dde();
    std::lock_guard<std::mutex> lock(d.m);
    Instance *in = instanceLocked(d, id);
    if (!in || in->owner != GetCurrentThreadId()) return;
    todo.swap(in->pending);
    cb = in->callback;
    flags = in->flags;
    for (const Notification &n : todo) {
      if (n.type == XTYP_DISCONNECT) d.conversations.erase(reinterpret_cast<intptr_t>(n.conv));
    }
  }
  for (const Notification &n : todo) {
    if (n.type == XTYP_DISCONNECT && (flags & CBF_SKIP_DISCONNECTS)) continue;
    ++inCallback;
    cb(n.type, 0, n.conv, nullptr, nullptr, nullptr, n.data1, 0);
    --inCallback;
  }
}

// The instance of a conversation (0 if the handle is not a conversation).
DWORD conversationInstance(HCONV conv, bool *endedByServer) {
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  auto it = d.conversations.find(reinterpret_cast<intptr_t>(conv));
  if (it == d.conversations.end()) return 0;
  if (endedByServer) *endedByServer = it->second.endedByServer;
  return it->second.instance;
}

} // namespace

namespace w32int {

long ddeOpenObjects() {
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  long n = static_cast<long>(d.conversations.size());
  for (const auto &i : d.instances) {
    ++n;
    for (const auto &s : i.second.strings) n += s.second;
  }
  return n;
}

void resetDde() {
  {
    Dde &d = dde();
    std::lock_guard<std::mutex> lock(d.m);
    d.instances.clear();
    d.conversations.clear();
  }
  progmanReset();
}

} // namespace w32int

static UINT initialize(LPDWORD pidInst, PFNCALLBACK callback, DWORD afCmd, DWORD ulRes) {
  ensureInit();
  if (faultHit(w32::Fault::Dde)) return DMLERR_SYS_ERROR;
  if (!pidInst || !callback || ulRes != 0) return DMLERR_INVALIDPARAMETER;
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  if (*pidInst != 0) { // a new callback and flags for an existing instance
    Instance *in = instanceLocked(d, *pidInst);
    if (!in) return DMLERR_INVALIDPARAMETER;
    in->callback = callback;
    in->flags = afCmd;
    return DMLERR_NO_ERROR;
  }
  DWORD id = d.nextInstance++;
  Instance &in = d.instances[id];
  in.callback = callback;
  in.flags = afCmd;
  in.owner = GetCurrentThreadId();
  *pidInst = id;
  return DMLERR_NO_ERROR;
}

extern "C" BOOL WINAPI DdeUninitialize(DWORD idInst) {
  ensureInit();
  std::vector<intptr_t> ended;
  {
    Dde &d = dde();
    std::lock_guard<std::mutex> lock(d.m);
    if (!instanceLocked(d, idInst)) return FALSE;
    for (auto it = d.conversations.begin(); it != d.conversations.end();) {
      if (it->second.instance == idInst) {
        if (!it->second.endedByServer) ended.push_back(it->first);
        it = d.conversations.erase(it);
      } else {
        ++it;
      }
    }
    d.instances.erase(idInst);
  }
  for (intptr_t c : ended) progmanDisconnect(c);
  return TRUE;
}

extern "C" UINT WINAPI DdeGetLastError(DWORD idInst) {
  ensureInit();
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  Instance *in = instanceLocked(d, idInst);
  if (!in) return DMLERR_INVALIDPARAMETER;
  UINT e = in->lastError;
  in->lastError = DMLERR_NO_ERROR;
  return e;
}

static HSZ createString(DWORD idInst, LPCSTR psz, int codePage) {
  ensureInit();
  bool failed = faultHit(w32::Fault::Dde);
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  Instance *in = instanceLocked(d, idInst);
  if (!in) return nullptr;
  if (failed) {
    in->lastError = DMLERR_SYS_ERROR;
    return nullptr;
  }
  if (!psz || strlen(psz) > 255 || (codePage != CP_WINANSI && codePage != 0)) {
    in->lastError = DMLERR_INVALIDPARAMETER;
    return nullptr;
  }
  if (!*psz) return nullptr; // the empty string has no handle
  intptr_t a = atomOf(d, psz);
  ++in->strings[a];
  return reinterpret_cast<HSZ>(a);
}

extern "C" BOOL WINAPI DdeFreeStringHandle(DWORD idInst, HSZ hsz) {
  ensureInit();
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  Instance *in = instanceLocked(d, idInst);
  if (!in) return FALSE;
  auto it = in->strings.find(reinterpret_cast<intptr_t>(hsz));
  if (it == in->strings.end()) {
    in->lastError = DMLERR_INVALIDPARAMETER;
    return FALSE;
  }
  if (--it->second == 0) in->strings.erase(it);
  return TRUE;
}

extern "C" DWORD WINAPI DdeQueryStringA(DWORD idInst, HSZ hsz, LPSTR psz, DWORD cchMax, int codePage) {
  ensureInit();
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  Instance *in = instanceLocked(d, idInst);
  std::string text;
  if (!in || (codePage != CP_WINANSI && codePage != 0) || !atomText(d, hsz, &text)) return 0;
  if (!psz) return static_cast<DWORD>(text.size());
  if (cchMax == 0) return 0;
  size_t n = std::min<size_t>(text.size(), cchMax - 1);
  memcpy(psz, text.data(), n);
  psz[n] = 0;
  return static_cast<DWORD>(n);
}

static HCONV connect(DWORD idInst, HSZ service, HSZ topic) {
  ensureInit();
  bool failed = faultHit(w32::Fault::Dde);
  {
    Dde &d = dde();
    std::lock_guard<std::mutex> lock(d.m);
    if (!instanceLocked(d, idInst)) return nullptr;
  }
  deliver(idInst);
  if (failed) {
    setDmlError(idInst, DMLERR_NO_CONV_ESTABLISHED);
    return nullptr;
  }
  // A null handle asks for any service or topic; the only server is PROGMAN.
  bool matches = true;
  {
    Dde &d = dde();
    std::lock_guard<std::mutex> lock(d.m);
    std::string s;
    if (service && (!atomText(d, service, &s) || !equalsNoCase(s, kProgmanName))) matches = false;
    if (topic && (!atomText(d, topic, &s) || !equalsNoCase(s, kProgmanName))) matches = false;
  }
  intptr_t id;
  {
    Dde &d = dde();
    std::lock_guard<std::mutex> lock(d.m);
    id = d.nextConversation;
    d.nextConversation += 4;
  }
  if (!matches || !progmanConnect(id)) {
    setDmlError(idInst, DMLERR_NO_CONV_ESTABLISHED);
    return nullptr;
  }
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  if (!instanceLocked(d, idInst)) return nullptr; // uninitialised meanwhile
  d.conversations[id].instance = idInst;
  return reinterpret_cast<HCONV>(id);
}

extern "C" BOOL WINAPI DdeDisconnect(HCONV conv) {
  ensureInit();
  DWORD inst = conversationInstance(conv, nullptr);
  if (!inst) return FALSE;
  deliver(inst);
  Dde &d = dde();
  {
    std::lock_guard<std::mutex> lock(d.m);
    auto it = d.conversations.find(reinterpret_cast<intptr_t>(conv));
    if (it == d.conversations.end() || it->second.endedByServer) {
      if (Instance *in = instanceLocked(d, inst)) in->lastError = DMLERR_NO_CONV_ESTABLISHED;
      return FALSE; // the server ended it first
    }
    d.conversations.erase(it);
  }
  progmanDisconnect(reinterpret_cast<intptr_t>(conv));
  return TRUE;
}

static HDDEDATA transact(LPBYTE data, DWORD size, HCONV conv, UINT format, UINT type, DWORD timeout,
                         LPDWORD result) {
  ensureInit();
  if (result) *result = 0;
  bool failed = faultHit(w32::Fault::Dde);
  DWORD inst = conversationInstance(conv, nullptr);
  if (!inst) return nullptr; // no conversation, so no instance to tell
  deliver(inst);
  bool ended = false;
  if (conversationInstance(conv, &ended) == 0 || ended) {
    setDmlError(inst, DMLERR_NO_CONV_ESTABLISHED);
    return nullptr;
  }
  if (failed) {
    setDmlError(inst, DMLERR_POSTMSG_FAILED);
    return nullptr;
  }
  if (inCallback) {
    setDmlError(inst, DMLERR_REENTRANCY);
    return nullptr;
  }
  if (type != XTYP_EXECUTE) {
    setDmlError(inst, DMLERR_NOTPROCESSED);
    return nullptr;
  }
  if (timeout == TIMEOUT_ASYNC || !data || size == 0xFFFFFFFF) {
    setDmlError(inst, DMLERR_INVALIDPARAMETER);
    return nullptr;
  }
  size_t length = strnlen(reinterpret_cast<const char *>(data), size);
  std::string text(reinterpret_cast<const char *>(data), length);
  ProgmanReply reply = progmanExecute(reinterpret_cast<intptr_t>(conv), text, format, timeout);
  {
    Dde &d = dde();
    std::lock_guard<std::mutex> lock(d.m);
    Instance *in = instanceLocked(d, inst);
    auto it = d.conversations.find(reinterpret_cast<intptr_t>(conv));
    if (in && reply.terminate && it != d.conversations.end() && !it->second.endedByServer) {
      it->second.endedByServer = true;
      in->pending.push_back(Notification{XTYP_DISCONNECT, conv, 0});
    }
    if (in && !reply.answered) in->lastError = reply.noMemory ? DMLERR_MEMORY_ERROR : DMLERR_EXECACKTIMEOUT;
    if (in && reply.answered && !reply.accepted) in->lastError = DMLERR_NOTPROCESSED;
  }
  deliver(inst);
  if (!reply.answered || !reply.accepted) return nullptr;
  if (result) *result = 0x8000; // DDE_FACK
  return reinterpret_cast<HDDEDATA>(static_cast<intptr_t>(TRUE));
}

// The failed DDE calls of a run are noted for its record, with the
// library's error as DdeGetLastError would give it (without resetting it).
static UINT pendingError(DWORD idInst) {
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  Instance *in = instanceLocked(d, idInst);
  return in ? in->lastError : DMLERR_DLL_NOT_INITIALIZED;
}

static void noteDde(const char *call, const std::string &what, UINT error) {
  static const char *const names[] = {"advise acknowledgement timed out", "busy", "data acknowledgement timed out",
                                      "not initialised", "usage", "execute acknowledgement timed out",
                                      "invalid parameter", "low memory", "memory error",
                                      "not processed (Program Manager refused the command)",
                                      "no conversation established", "poke acknowledgement timed out",
                                      "post message failed", "reentrancy", "server died", "system error"};
  std::string why = error >= DMLERR_FIRST && error < DMLERR_FIRST + sizeof names / sizeof *names
                        ? names[error - DMLERR_FIRST]
                        : "error " + std::to_string(error);
  noteFailedStep("dde", call, what, error, why);
}

extern "C" UINT WINAPI DdeInitializeA(LPDWORD pidInst, PFNCALLBACK callback, DWORD afCmd, DWORD ulRes) {
  UINT rc = initialize(pidInst, callback, afCmd, ulRes);
  if (rc != DMLERR_NO_ERROR) noteDde("DdeInitializeA", "flags=" + std::to_string(afCmd), rc);
  return rc;
}

extern "C" HSZ WINAPI DdeCreateStringHandleA(DWORD idInst, LPCSTR psz, int codePage) {
  HSZ h = createString(idInst, psz, codePage);
  if (!h && psz && *psz) noteDde("DdeCreateStringHandleA", "text=" + quoteText(psz), pendingError(idInst));
  return h;
}

extern "C" HCONV WINAPI DdeConnect(DWORD idInst, HSZ service, HSZ topic, PCONVCONTEXT) {
  HCONV c = connect(idInst, service, topic);
  if (!c) noteDde("DdeConnect", std::string("service=") + quoteText(kProgmanName), pendingError(idInst));
  return c;
}

extern "C" HDDEDATA WINAPI DdeClientTransaction(LPBYTE data, DWORD size, HCONV conv, HSZ, UINT format, UINT type,
                                                DWORD timeout, LPDWORD result) {
  HDDEDATA r = transact(data, size, conv, format, type, timeout, result);
  if (!r) {
    std::string text = data && size != 0xFFFFFFFF
                           ? std::string(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size))
                           : std::string();
    DWORD inst = conversationInstance(conv, nullptr);
    noteDde("DdeClientTransaction", "command=" + quoteText(text),
            inst ? pendingError(inst) : static_cast<UINT>(DMLERR_NO_CONV_ESTABLISHED));
  }
  return r;
}

namespace w32 {

void raiseDdeError(unsigned dmlError) {
  ensureInit();
  Dde &d = dde();
  std::lock_guard<std::mutex> lock(d.m);
  for (auto &i : d.instances) i.second.pending.push_back(Notification{XTYP_ERROR, nullptr, dmlError});
}

} // namespace w32
