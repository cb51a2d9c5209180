// Between the portable part of the crash report and its platform filters.
#pragma once

#include <cstddef>

#include "support/crash_report.h"

namespace zefo::crash_internal {

// Writes the report of `record` into `buffer`, cut to fit and ended by a zero byte,
// without allocating; returns its length.
size_t FormatErrorReport(const FaultRecord& record, char* buffer, size_t capacity);
// Calls the presenter set with SetReportPresenter, if any.
void CallPresenter(const char* title, const char* text);
// Platform: shows the report and returns once the user has seen it.
void PresentReport(const char* title, const char* text);

void StoreHandler(FaultHandler handler);
// Called by the platform filter on the faulting thread with what it captured.
// Returns only when no handler is stored (the fault then takes its default course).
void HandleFault(const FaultRecord& captured);

// Platform: ends the process at once with `code`, running nothing else.
[[noreturn]] void EndProcess(int code);
// Platform: blocks the calling thread for good.
[[noreturn]] void BlockForever();

}  // namespace zefo::crash_internal
