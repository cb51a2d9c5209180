// Between the portable part of the crash report and its platform filters.
#pragma once

#include "support/crash_report.h"

namespace zefo::crash_internal {

void StoreHandler(FaultHandler handler);
// Called by the platform filter on the faulting thread with what it captured.
// Returns only when no handler is stored (the fault then takes its default course).
void HandleFault(const FaultRecord& captured);

// Platform: ends the process at once with `code`, running nothing else.
[[noreturn]] void EndProcess(int code);
// Platform: blocks the calling thread for good.
[[noreturn]] void BlockForever();

}  // namespace zefo::crash_internal
