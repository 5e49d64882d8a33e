// One file-system event as the driver reports it and the Monitor's event
// handler takes it: what happened, and the one or two paths it happened to.
//
// The driver (driver/) makes these from the kernel's events and the copy
// reports of programs; the handler (tracking/DoResponse) rewrites the notes
// by them. Neither includes the other: this header is all they share.
//
// Paths are absolute and held without a length limit. The notes table
// takes paths of at most kEventPathMax bytes; the handler never uses a
// longer one cut short (it would name another file) and skips such an
// event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Operation codes; the numbers show in the trace ("DoResponse with %d").
// Any other value is taken and otherwise ignored.
constexpr int32_t OP_COPY = 1;          // note of source copied to target
constexpr int32_t OP_RENAME = 2;        // file or folder renamed or moved
constexpr int32_t OP_DELETE = 3;        // source deleted; its note set aside
constexpr int32_t OP_REMOVE = 4;        // note of source dropped, not set aside
constexpr int32_t OP_COPY_REVERSE = 5;  // note of target copied to source
constexpr int32_t OP_CREATE = 6;        // target created
constexpr int32_t OP_RECONCILE = 7;     // events were lost: notes whose files are
                                        // gone are looked for by identity
constexpr int32_t OP_STOP = 100;        // the last event: the consumer ends

// The longest path the notes table takes, in bytes.
constexpr size_t kEventPathMax = 255;

struct FileEvent {
  int32_t operation = 0;
  std::string source;  // old, copied-from or deleted path ("" when unused)
  std::string target;  // new, copied-to or created path ("" when unused)
};
