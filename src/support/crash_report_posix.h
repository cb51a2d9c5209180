// The crash report where faults arrive as signals. A signal handler may only make
// async-signal-safe calls, so it cannot open a window: the report is shown by a
// process of its own, and every thread reports on an alternate signal stack, so that
// a stack overflow can be reported too.
#pragma once

namespace zefo {

// The program that shows the report: started as `program option title report` while
// the faulting thread waits for it to end. Set before InstallFaultHandler; both texts
// must stay valid for the life of the process. Without it the presenter is called.
void SetReportProgram(const char* program, const char* option);

// Gives the calling thread an alternate signal stack for the rest of its life (the
// thread that installs the fault handler has one already). Threads that StartThread
// starts call it.
void PrepareThreadForFaults();

}  // namespace zefo
