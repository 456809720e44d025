#pragma once

// Start and stop of the VM-information library for the process. Starts are counted: each start
// needs one stop, and a stop with nothing started does nothing, so an extra stop on the way out
// is harmless. The lab's fault table can make a start fail ("vminfo.StartupVMInfo"); a failed start
// counts for nothing.
bool StartupVMInfo();
void ShutdownVMInfo();

// How many starts are not yet matched by a stop.
int VMInfoStartupCount();
