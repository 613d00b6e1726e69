// The one decision after every transfer: tell the user what went wrong and
// either repeat the transfer or stop the installation.
#ifndef QV_TRANSFER_PROMPTS_H
#define QV_TRANSFER_PROMPTS_H

#include <windows.h>

#include "transfer_result.h"

#define SETUP_CAPTION "Quorvel Installation"
#define PROMPT_TEXT_SIZE 256

// Returns 0 to ask for the same transfer again, 1 to go on; after 1 the
// caller tests cancelRequested. Message boxes are owned by owner.
int handleTransferResult(HWND owner, TransferResult result);

#endif
