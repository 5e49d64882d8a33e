// The Monitor's two voices: trace lines for whoever debugs it, and reports
// for the person whose notes it keeps.
//
//   qb_trace   one trace line, passed as it is (lines carry their own line
//              breaks): to standard error when QB_TRACE is set and not empty
//              (read on each call), and to the sink.
//   qb_report  something a person should hear about: "qbmon: <text>" on
//              standard error, the system log (ident "qbmon", facility user,
//              level by kind, line breaks as blanks) so that journald shows
//              it, and the sink. Nothing is asked and nothing waits.
//
// The sink is for tests: one function that sees every trace line and every
// report, as passed. Nothing is kept when no sink is set.
//
// Threads: any thread. The sink is called under a process-wide lock, one
// call at a time; it must not trace or report itself.
#pragma once

#include <cstdint>
#include <string>

enum class LogKind { kTrace, kNotice, kWarning, kError };

void qb_trace(const char* text);
void qb_report(LogKind kind, const char* text);
void qb_reportf(LogKind kind, const char* format, ...) __attribute__((format(printf, 2, 3)));

using LogSink = void (*)(LogKind kind, const char* text);
// Sets the sink (null: none) and gives the one it replaces.
LogSink qb_set_log_sink(LogSink sink);

// The last warning or error reported in this process, with its time
// (seconds since the epoch): false when there was none. For the Monitor's
// status answer.
bool qb_last_report(LogKind* kind, std::string* text, int64_t* when);
