// Debug output: OutputDebugStringA, the channel of the Monitor's trace lines.
//
// Every string goes to an in-memory sink that tests read, one entry per
// call, exactly as passed (trace lines carry their own line breaks). The
// sink keeps the newest 10000 entries: the Monitor runs for weeks, and a
// trace nobody reads must not grow without bound. When the environment
// variable QB_TRACE is set and not empty (read on each call), the string is
// also written to standard error as it stands. Each string is a qb_trace
// line too (platform/report.h), so a log sink sees it.
//
// Threads: any thread; the sink has its own lock.
#pragma once

#include <string>
#include <vector>

#include "platform/win_types.h"

constexpr size_t kDebugLogKeep = 10000;

void OutputDebugStringA(LPCSTR text);

// A copy of the sink, oldest first.
std::vector<std::string> qb_debug_log();
void qb_debug_log_clear();
