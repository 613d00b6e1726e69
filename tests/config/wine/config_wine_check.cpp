// The configuration steps built for Windows and run under Wine: the same
// product code against a real Win32 implementation of the profile API, the
// registry, text-mode streams, directory calls and DDEML. Program Manager
// is played by a small DDE server on a second thread of this process.
// Prints one line per failed check and a closing "N passed, N failed" line;
// the exit code is the number of failures (0 when all pass).
#include <windows.h>

#include <ddeml.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "config_steps.h"
#include "setup_state.h"
#include "upgrade_cleanup.h"

// ---- Message boxes are answered here, not shown -----------------------

static int boxCount = 0;
static std::string boxCaption;
static UINT boxType = 0;

extern "C" int WINAPI answerBox(HWND, LPCSTR, LPCSTR caption, UINT type) {
  boxCount++;
  boxCaption = caption != NULL ? caption : "";
  boxType = type;
  return IDOK;
}
// The product calls MessageBoxA through its import slot; this slot takes
// the place of user32's.
extern "C" {
void *__imp_MessageBoxA = reinterpret_cast<void *>(&answerBox);
}

static int passed = 0;
static int failed = 0;
#define CHECK(cond)                                              \
  do {                                                           \
    if (cond) {                                                  \
      passed++;                                                  \
    } else {                                                     \
      failed++;                                                  \
      printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond);     \
    }                                                            \
  } while (0)

static void put(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == NULL) {
    printf("cannot write %s\n", path.c_str());
    failed++;
    return;
  }
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

static std::string get(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  if (f == NULL) return "(missing)";
  std::string s;
  char block[4096];
  size_t n;
  while ((n = fread(block, 1, sizeof block, f)) > 0) s.append(block, n);
  fclose(f);
  return s;
}

static bool exists(const std::string &path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

static std::string windowsDir() {
  char dir[MAX_PATH];
  GetWindowsDirectoryA(dir, MAX_PATH);
  return dir;
}

static void layOut(const std::string &winIniSection) {
  put(windowsDir() + "\\win.ini", "[windows]\r\nload=\r\n\r\n" + winIniSection + "\r\n[Desktop]\r\nWallpaper=(None)\r\n");
  CreateDirectoryA("c:\\dunmere", NULL);
  CreateDirectoryA("c:\\dunmere\\register", NULL);
  put("c:\\dunmere\\register\\register.ini", "[Quorvel Registration]\r\nVersion=2.1\r\n");
  CreateDirectoryA("c:\\dunmere\\dialer", NULL);
  CreateDirectoryA("c:\\dunmere\\dialer\\bin", NULL);
  CreateDirectoryA("c:\\dunmere\\dialer\\bin\\sub", NULL);
  CreateDirectoryA("c:\\dunmere\\dialer\\app", NULL);
  put("c:\\dunmere\\dialer\\bin\\vntspsd.386", "driver");
  put("c:\\dunmere\\dialer\\bin\\sub\\keep.txt", "sub");
  put("c:\\dunmere\\dialer\\app\\dialer.exe", "MZ");
  put("c:\\dunmere\\dialer\\dialer.ini", "x");
  put(windowsDir() + "\\nts.ini", "[nts]\r\n");
}

static void checkCleanup() {
  const std::string sys = windowsDir() + "\\SYSTEM.INI";
  const std::string dl = "device=c:\\dunmere\\dialer\\bin\\vntspsd.386";
  const std::string a254(254, 'a');
  layOut("[Dunmere Network Quorvel]\r\nMain=c:\\dunmere\r\nEudora=x\r\nDialer=c:\\dunmere\\dialer\r\n");
  put(sys, dl + "\r\n[386enh]\r\n" + dl + "\r\nDEVICE=C:\\DUNMERE\\TCPPRO\\BIN\\VNTSTIMD.EXE\r\ndevice = " + dl.substr(7) +
               "\r\npath=100%%s\r\n" + a254 + dl + "\r\nnext=1\nlast=2\r\n\x1A");
  const std::string filtered = dl + "\r\n[386enh]\r\ndevice = " + dl.substr(7) + "\r\npath=100%%s\r\n" + a254 +
                               dl + "\r\nnext=1\r\nlast=2\r\n";
  strcpy(setupState.installDir, "d:\\other");
  setupState.hadEudora = 0;
  boxCount = 0;
  CHECK(cleanUpEarlierInstallation(NULL) == 1);
  CHECK(strcmp(setupState.installDir, "c:\\dunmere") == 0);
  CHECK(setupState.hadEudora == 1);
  CHECK(boxCount == 1 && boxCaption == "Quorvel" && boxType == (MB_ICONINFORMATION | MB_OK));
  CHECK(get(sys) == filtered);
  CHECK(get(windowsDir() + "\\SYSTEM.OLD") == filtered);
  CHECK(get(windowsDir() + "\\win.ini") == "[windows]\r\nload=\r\n[Desktop]\r\nWallpaper=(None)\r\n" ||
        get(windowsDir() + "\\win.ini").find("Dunmere") == std::string::npos);
  CHECK(!exists(windowsDir() + "\\nts.ini"));
  CHECK(!exists("c:\\dunmere\\register"));
  CHECK(!exists("c:\\dunmere\\dialer\\bin\\vntspsd.386"));
  CHECK(exists("c:\\dunmere\\dialer\\bin\\sub\\keep.txt"));
  CHECK(!exists("c:\\dunmere\\dialer\\app"));
  CHECK(!exists("c:\\dunmere\\dialer\\dialer.ini"));
  CHECK(exists("c:\\dunmere\\dialer\\bin"));

  // Twice: nothing more happens.
  boxCount = 0;
  CHECK(cleanUpEarlierInstallation(NULL) == 0);
  CHECK(boxCount == 0);

  // Ctrl-Z in the middle: the text after it is carried over unchanged.
  layOut("[Dunmere Network Quorvel]\r\nMain=c:\\dunmere\r\nDialer=c:\\dunmere\\dialer\r\n");
  put(sys, "[386Enh]\r\n" + dl + "\r\n\x1A" + dl + "\r\n");
  CHECK(cleanUpEarlierInstallation(NULL) == 1);
  CHECK(get(sys) == "[386Enh]\r\n\x1A" + dl + "\r\n");
  CHECK(get(windowsDir() + "\\SYSTEM.OLD") == get(sys));
  CHECK(!exists("c:\\dunmere\\dialer\\app\\dialer.exe"));

  // A dialer directory naming the Windows directory or the target.
  for (const std::string &dialer : {windowsDir() + "\\", std::string("C:\\DUNMERE\\QUORVEL"), std::string("c:\\")}) {
    layOut("[Dunmere Network Quorvel]\r\nMain=c:\\dunmere\r\nDialer=" + dialer + "\r\n");
    put(sys, "[386Enh]\r\n");
    CreateDirectoryA("c:\\dunmere\\quorvel", NULL);
    put(windowsDir() + "\\marker.txt", "m");
    put("c:\\dunmere\\quorvel\\quorvel.exe", "MZ");
    put("c:\\marker.txt", "m");
    CHECK(cleanUpEarlierInstallation(NULL) == 1);
    CHECK(exists(windowsDir() + "\\marker.txt"));
    CHECK(exists("c:\\dunmere\\quorvel\\quorvel.exe"));
    CHECK(exists("c:\\marker.txt"));
  }
}

static std::string regValue(HKEY key, const char *name) {
  BYTE data[300];
  DWORD size = sizeof data;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, NULL, &type, data, &size) != ERROR_SUCCESS) return "(none)";
  if (type == REG_DWORD && size == 4) return "dword " + std::to_string(*reinterpret_cast<DWORD *>(data));
  if (type == REG_SZ && size > 0 && data[size - 1] == 0) return reinterpret_cast<char *>(data);
  return "(other)";
}

static void checkRegistry() {
  CreateDirectoryA("c:\\src", NULL);
  put("c:\\src\\setup.ini",
      "[Quorvel]\r\nIsRegNoAPrefix=YES\r\nRegNo=DN-\r\nHomePage=home.htm\r\nHDHomePage=1\r\nMonthlyPrice=19.95\r\n");
  strcpy(setupState.sourceDir, "c:\\src\\");
  setupState.hadEudora = 1;
  writeRegistrySettings("c:\\dunmere");
  HKEY key;
  CHECK(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\DunmereNetwork\\Quorvel", 0, KEY_READ, &key) == ERROR_SUCCESS);
  CHECK(regValue(key, "MainDir") == "c:\\dunmere");
  CHECK(regValue(key, "RegNoPrefix") == "DN-");
  CHECK(regValue(key, "RegNo") == "(none)");
  CHECK(regValue(key, "LocalURLPath") == "c:\\dunmere\\www\\home.htm");
  CHECK(regValue(key, "Quorvel31Eudora") == "TRUE");
  CHECK(regValue(key, "MonthlyPrice") == "19.95");
  CHECK(regValue(key, "SetupFee") == "(none)");
  CHECK(regValue(key, "Flags") == "dword 16");
  DWORD size = 0;
  CHECK(RegQueryValueExA(key, "MainDir", NULL, NULL, NULL, &size) == ERROR_SUCCESS && size == 11);
  RegCloseKey(key);
}

// ---- A Program Manager stand-in ------------------------------------------

// Wine 8 does not end a conversation from the server's side (its
// DdeDisconnect is client-only), so the reconnect after a server's
// disconnect is checked natively against the layer's stand-in only.
enum ServerMode { Normal, RejectAll };

static DWORD serverInstance;
static HSZ serverName;
static ServerMode serverMode;
static std::vector<std::string> serverReceived;
static int serverConnects;
static volatile LONG serverReady;

static HDDEDATA CALLBACK serverCallback(UINT type, UINT, HCONV, HSZ topic, HSZ, HDDEDATA data, ULONG_PTR,
                                        ULONG_PTR) {
  switch (type) {
    case XTYP_CONNECT:
      return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(DdeCmpStringHandles(topic, serverName) == 0));
    case XTYP_CONNECT_CONFIRM:
      serverConnects++;
      return NULL;
    case XTYP_EXECUTE: {
      char text[512];
      DWORD n = DdeGetData(data, reinterpret_cast<LPBYTE>(text), sizeof text - 1, 0);
      text[n] = '\0';
      serverReceived.push_back(std::string(text) + "|" + std::to_string(n));
      if (serverMode == RejectAll) return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
      return reinterpret_cast<HDDEDATA>(DDE_FACK);
    }
    default:
      return NULL;
  }
}

static DWORD WINAPI serverThread(LPVOID) {
  DdeInitializeA(&serverInstance, serverCallback, APPCLASS_STANDARD, 0);
  serverName = DdeCreateStringHandleA(serverInstance, "PROGMAN", CP_WINANSI);
  DdeNameService(serverInstance, serverName, NULL, DNS_REGISTER);
  serverReady = 1;
  MSG msg;
  while (GetMessageA(&msg, NULL, 0, 0) > 0) {
    DispatchMessageA(&msg);
  }
  return 0;
}

static void checkProgramGroup(bool haveServer) {
  const char *dir = "c:\\my net\\quorvel\\";
  const std::vector<std::string> commands = {
      "[CreateGroup(Quorvel)]|23",
      "[AddItem(c:\\my net\\quorvel\\quorvel.exe, Registration & Utilities, c:\\my net\\quorvel\\quorvel.exe)]|98",
      "[AddItem(c:\\my net\\quorvel\\readme.txt, Read me, c:\\my net\\quorvel\\notep001.ico)]|81",
  };
  if (!haveServer) {
    // No server for PROGMAN: every command fails at once, nothing is shown.
    boxCount = 0;
    CHECK(startProgramGroup() == 1);
    CHECK(createProgramGroup("Quorvel") == 0);
    CHECK(endProgramGroup() == 1);
    CHECK(boxCount == 0);
    return;
  }
  for (ServerMode mode : {Normal, RejectAll}) {
    serverMode = mode;
    serverReceived.clear();
    serverConnects = 0;
    int expected = mode == RejectAll ? 0 : 1;
    CHECK(startProgramGroup() == 1);
    CHECK(createProgramGroup("Quorvel") == expected);
    CHECK(addProgramItem("Registration & Utilities", dir, "quorvel.exe", dir, "quorvel.exe") == expected);
    CHECK(addProgramItem("Read me", dir, "readme.txt", dir, "notep001.ico") == expected);
    CHECK(endProgramGroup() == 1);
    CHECK(serverReceived == commands);
    CHECK(serverConnects == 1);  // one conversation serves every command
  }
}

int main(int argc, char **argv) {
  bool dde = argc > 1 && strcmp(argv[1], "--dde") == 0;
  checkCleanup();
  checkRegistry();
  if (dde) {
    CreateThread(NULL, 0, serverThread, NULL, 0, NULL);
    for (int i = 0; i < 500 && !serverReady; ++i) Sleep(10);
    CHECK(serverReady);
  }
  checkProgramGroup(dde);
  if (!dde) printf("config_wine_check: DDE checked without a server only (no X display)\n");
  printf("config_wine_check: %d passed, %d failed\n", passed, failed);
  fflush(stdout);
  ExitProcess(failed > 0 ? 1 : 0);  // the server thread is still waiting for messages
}
