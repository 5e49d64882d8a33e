// What the rooms of driver/ share besides the file event itself
// (event/file_event.h): the driver's warning and trace lines, and its clock.
//
// Callers: every file of driver/; any thread (no state of its own).
#pragma once

#include <cstdint>
#include <string>

#include "event/file_event.h"

// A warning report "driver: <text>" (platform/report.h: "qbmon: driver:
// <text>" on standard error, the system log, the log sink), for what the
// user should hear about (lost events, a refused path, a watch limit
// reached, a root that cannot be watched).
void drv_warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A trace line on standard error when QB_DRIVER_TRACE is set and not empty
// (read once per process): one line per raw event, for debugging the
// mapping from kernel events to operation codes.
bool drv_tracing();
void drv_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Milliseconds of the monotonic clock.
int64_t drv_now_ms();
