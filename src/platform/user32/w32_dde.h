// The DDE library's state (w32_dde.cpp), for the test controls.
#ifndef QV_PLATFORM_W32_DDE_H
#define QV_PLATFORM_W32_DDE_H

namespace w32int {

long ddeOpenObjects();  // instances, string handles and conversations alive
void resetDde();        // drops every instance; stand-in back to Normal, no commands

} // namespace w32int

#endif
