// Threads on POSIX threads; Sleep and GetTickCount.
#include "machine/w32_core.h"
#include "w32_objects.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <chrono>

using namespace w32int;

namespace {

std::atomic<DWORD> nextThreadId{1000};
thread_local DWORD currentThreadId = 0;

void *threadMain(void *arg) {
  // The thread keeps its object alive until it has reported its end.
  std::shared_ptr<ThreadObject> *holder = static_cast<std::shared_ptr<ThreadObject> *>(arg);
  std::shared_ptr<ThreadObject> t = *holder;
  delete holder;
  currentThreadId = t->id;
  DWORD code = t->start(t->param);
  {
    std::lock_guard<std::mutex> lock(t->m);
    t->exitCode = code;
    t->done = true;
  }
  t->cv.notify_all();
  return nullptr;
}

} // namespace

extern "C" DWORD WINAPI GetCurrentThreadId(void) {
  if (currentThreadId == 0) currentThreadId = nextThreadId++;
  return currentThreadId;
}

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                      LPVOID param, DWORD flags, LPDWORD threadId) {
  ensureInit();
  if (!start || (flags & CREATE_SUSPENDED)) {
    setError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto t = std::make_shared<ThreadObject>();
  t->id = nextThreadId++;
  t->start = start;
  t->param = param;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize >= 65536) pthread_attr_setstacksize(&attr, stackSize);
  HANDLE h = addHandle(t);
  auto *holder = new std::shared_ptr<ThreadObject>(t);
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, threadMain, holder);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete holder;
    dropHandle(h, ObjKind::Thread);
    setError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId) *threadId = t->id;
  return h;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) {
  ensureInit();
  auto t = std::static_pointer_cast<ThreadObject>(findHandle(h, ObjKind::Thread));
  if (!t) {
    setError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> lock(t->m);
  if (ms == INFINITE) {
    t->cv.wait(lock, [&] { return t->done.load(); });
    return WAIT_OBJECT_0;
  }
  bool done = t->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return t->done.load(); });
  return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE h, LPDWORD code) {
  ensureInit();
  auto t = std::static_pointer_cast<ThreadObject>(findHandle(h, ObjKind::Thread));
  if (!t || !code) {
    setError(t ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(t->m);
  *code = t->exitCode;
  return TRUE;
}

extern "C" void WINAPI Sleep(DWORD ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

extern "C" DWORD WINAPI GetTickCount(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  unsigned long long ms = static_cast<unsigned long long>(ts.tv_sec) * 1000ULL + static_cast<unsigned long long>(ts.tv_nsec) / 1000000ULL;
  return static_cast<DWORD>(ms);
}
