// The program entry's settings (w32_automation.cpp), set by main().
#ifndef QV_PLATFORM_W32_AUTOMATION_H
#define QV_PLATFORM_W32_AUTOMATION_H

#include "frontend/frontend.h"

#include <string>

namespace w32int {

// The program's name and path for its messages, and the terminal front
// end, which only programs link (main() sets them).
extern const char *programName;
extern const char *programPath;
void setTerminalFrontEnd(w32fe::FrontEnd *(*factory)(std::string *why));

} // namespace w32int

#endif
