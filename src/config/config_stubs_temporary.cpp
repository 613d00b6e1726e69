// TEMPORARY: the configuration steps are not yet built. These stand-ins do
// nothing and answer as the real steps would when there is nothing to do or
// when they fail, so the installation sequence can run end to end until
// config_cleanup, config_registry and config_progman replace this file.
#include "config_steps.h"

int cleanUpEarlierInstallation(HWND) {
  return 0;  // no earlier installation found
}

void writeRegistrySettings(const char *) {}

int startProgramGroup(void) {
  return 0;  // no DDE conversation could be set up
}

int createProgramGroup(const char *) {
  return 0;
}

int addProgramItem(const char *, const char *, const char *, const char *, const char *) {
  return 0;
}

int endProgramGroup(void) {
  return 1;  // always 1
}
