// The Program Manager group, made as a DDE client of the service and topic
// "PROGMAN": one execute transaction per command on one conversation, made
// at the first command and made again after the server has ended it.
#include <windows.h>

#include <ddeml.h>
#include <stdio.h>
#include <string.h>

#include "config_steps.h"
#include "setup_state.h"

#define PROGMAN_NAME "PROGMAN"
#define COMMAND_SIZE 256          // a command: at most 255 characters
#define COMMAND_TIMEOUT_MS 1000

// The DDE client record; used by the worker thread only.
struct DdeClient {
  DWORD instance;      // 0 while no DDE instance is set up
  HSZ service;         // "PROGMAN"
  HSZ topic;           // "PROGMAN"
  HCONV conversation;  // null while not connected
};

static DdeClient ddeClient;

// Called by the DDE library on the worker thread, only from within the
// calls below.
static HDDEDATA CALLBACK progmanCallback(UINT type, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  switch (type & 0xFFFF) {
    case XTYP_ERROR:
      MessageBoxA(setupState.progressDialog, "A critical error has occurred.", "Quorvel Installation",
                  MB_ICONWARNING | MB_OK);
      break;
    case XTYP_DISCONNECT:
      ddeClient.conversation = NULL;  // the next command connects again
      break;
    default:
      break;
  }
  return NULL;
}

int startProgramGroup(void) {
  ddeClient.instance = 0;
  ddeClient.service = NULL;
  ddeClient.topic = NULL;
  ddeClient.conversation = NULL;

  DWORD instance = 0;
  if (DdeInitializeA(&instance, progmanCallback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) {
    return 0;  // the identifier stays 0: End has nothing to release
  }
  ddeClient.instance = instance;
  ddeClient.service = DdeCreateStringHandleA(ddeClient.instance, PROGMAN_NAME, CP_WINANSI);
  ddeClient.topic = DdeCreateStringHandleA(ddeClient.instance, PROGMAN_NAME, CP_WINANSI);
  return ddeClient.service != NULL && ddeClient.topic != NULL ? 1 : 0;
}

// Without both name handles there is nothing to connect to: a null handle
// would ask DDE for any service or any topic.
static int connectToProgman(void) {
  if (ddeClient.conversation == NULL && ddeClient.instance != 0 && ddeClient.service != NULL &&
      ddeClient.topic != NULL) {
    ddeClient.conversation = DdeConnect(ddeClient.instance, ddeClient.service, ddeClient.topic, NULL);
  }
  return ddeClient.conversation != NULL ? 1 : 0;
}

// Sends one command as a synchronous execute transaction. Without a
// conversation the transaction fails at once.
static int sendCommand(const char *command) {
  connectToProgman();
  DWORD length = static_cast<DWORD>(strlen(command) + 1);
  HDDEDATA result = DdeClientTransaction(reinterpret_cast<LPBYTE>(const_cast<char *>(command)), length,
                                         ddeClient.conversation, NULL, CF_TEXT, XTYP_EXECUTE, COMMAND_TIMEOUT_MS,
                                         NULL);
  return result != NULL ? 1 : 0;
}

int createProgramGroup(const char *groupName) {
  char command[COMMAND_SIZE];
  int n = snprintf(command, sizeof command, "[CreateGroup(%s)]", groupName);
  if (n < 0 || static_cast<size_t>(n) >= sizeof command) {
    return 0;  // a command cut short is never sent
  }
  return sendCommand(command);
}

int addProgramItem(const char *itemName, const char *programDir, const char *programFile, const char *iconDir,
                   const char *iconFile) {
  char command[COMMAND_SIZE];
  int n = snprintf(command, sizeof command, "[AddItem(%s%s, %s, %s%s)]", programDir, programFile, itemName, iconDir,
                   iconFile);
  if (n < 0 || static_cast<size_t>(n) >= sizeof command) {
    return 0;
  }
  return sendCommand(command);
}

int endProgramGroup(void) {
  if (ddeClient.conversation != NULL) {
    DdeDisconnect(ddeClient.conversation);
    ddeClient.conversation = NULL;
  }
  if (ddeClient.instance != 0) {
    if (ddeClient.service != NULL) {
      DdeFreeStringHandle(ddeClient.instance, ddeClient.service);
    }
    if (ddeClient.topic != NULL) {
      DdeFreeStringHandle(ddeClient.instance, ddeClient.topic);
    }
    DdeUninitialize(ddeClient.instance);
    ddeClient.instance = 0;
    ddeClient.service = NULL;
    ddeClient.topic = NULL;
  }
  return 1;
}
