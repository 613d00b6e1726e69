#include "transfer_prompts.h"

#include <stdio.h>

#include "setup_state.h"

// Retry/Cancel: Cancel (or Escape, which answers Cancel) stops the run,
// any other answer repeats the transfer. A box that could not be shown at
// all (result 0) is no Retry: it stops the run like Cancel, rather than
// repeating a failing transfer with nobody asked.
static int askRetry(HWND owner, const char *text) {
  int answer = MessageBoxA(owner, text, SETUP_CAPTION, MB_ICONWARNING | MB_RETRYCANCEL);
  if (answer == IDCANCEL || answer == 0) {
    setupState.cancelRequested = 1;
    return 1;
  }
  return 0;
}

int handleTransferResult(HWND owner, TransferResult result) {
  char text[PROMPT_TEXT_SIZE];
  switch (result) {
    case TransferResult::CannotWrite:
      // failingPath holds at most 71 characters, so the text always fits.
      snprintf(text, sizeof text, "Can't write file %s (may be in use).", setupState.failingPath);
      return askRetry(owner, text);
    case TransferResult::SourceMissing:
      if (setupState.multiDisk) {
        snprintf(text, sizeof text, "Please ensure that Quorvel Disk #%d is in drive %s.",
                 static_cast<int>(setupState.diskNumber), setupState.sourceDir);
      } else {
        snprintf(text, sizeof text,
                 "Please ensure the following Quorvel files are located in %s:\r\n\r\n"
                 "quorvel.z\r\nnetscape.z\r\nreadme.txt\r\nsetup.exe",
                 setupState.sourceDir);
      }
      return askRetry(owner, text);
    case TransferResult::Fatal:
      MessageBoxA(owner, "A fatal error occurred (might be out of memory).", SETUP_CAPTION,
                  MB_ICONWARNING | MB_OK);
      setupState.cancelRequested = 1;
      return 1;
    default:  // Done, Cancelled and anything else: nothing to say
      return 1;
  }
}
