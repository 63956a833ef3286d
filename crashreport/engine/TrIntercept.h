// Where exceptions reach the handling: the raise hook's handlers (a raise
// is kept with its stack and reported where it lands), the edge of the
// program's handling, the GUI library's exception handler, the threads'
// ends, and the program file's exports through which other modules of the
// process pass on their raises and threads.
#pragma once

#include <windows.h>

#include "crashreport/engine/TrEngine.h"

namespace tracira {

void InstallInterception(TEngine& e);
void RemoveInterception(TEngine& e);

// The crash reporter is not switched off for the thread.
bool ActiveInThread(TEngine& e, DWORD id);

}  // namespace tracira
