// The freeze watchdog: a thread that asks the main window every 50 ms
// whether it answers, and reports a frozen main thread (EFrozenApplication)
// once it has been silent for the options' FreezeTimeout.
#pragma once

namespace tracira {

void StartFreeze();
void StopFreeze();

}  // namespace tracira
