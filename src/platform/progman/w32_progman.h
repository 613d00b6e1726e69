// The Program Manager stand-in as the DDE library sees it (not for product
// code).  Conversations are named by their HCONV value.
#ifndef QV_PLATFORM_W32_PROGMAN_H
#define QV_PLATFORM_W32_PROGMAN_H

#include <stdint.h>

#include <string>

namespace w32int {

extern const char kProgmanName[]; // "PROGMAN": the service and the topic

struct ProgmanReply {
  bool answered = false;  // false: no answer within the time-out
  bool accepted = false;  // the server carried the execute out
  bool terminate = false; // and ended the conversation after answering
  bool noMemory = false;  // the execute could not even be passed on (DMLERR_MEMORY_ERROR)
};

// false when no server is there (ProgmanMode::Absent)
bool progmanConnect(intptr_t conversation);
void progmanDisconnect(intptr_t conversation);
// Hands the execute string to the server's thread and waits at most
// timeoutMs for its answer.
ProgmanReply progmanExecute(intptr_t conversation, const std::string &text, unsigned format, unsigned long timeoutMs);
// Mode Normal, no commands received, no current group, no conversations.
void progmanReset();

} // namespace w32int

#endif
