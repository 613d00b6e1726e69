// The scripted front end's controls (scripted_frontend.cpp), for the
// program entry and the test controls.
#ifndef QV_PLATFORM_SCRIPTED_FRONTEND_H
#define QV_PLATFORM_SCRIPTED_FRONTEND_H

#include <string>

namespace w32int {

// The scripted front end records the run as the terminal front end records
// a person: heading first, the file at path replaced after every change.
void recordScriptedRun(const std::string &heading, const std::string &path);
// The scripted front end forgets the dialog it was answering (tests).
void resetScriptedFrontEnd();

} // namespace w32int

#endif
