// A FileIo that wraps the real POSIX slots and injects failures: the N-th
// call of a chosen kind fails (once, or from then on), and reads can be cut
// short. Install it after ix_startup (which refills the table with the
// defaults); the destructor puts the defaults back.
#pragma once

#include <cstdint>

#include "cache/file_io.h"

enum class IoKind { Read, Write, Flush, Lock, Unlock, Open, Create, Close, Any };

struct FaultPlan {
  IoKind kind = IoKind::Any;
  int fail_at = 0;          // fail the N-th matching call from now; 0 = never
  bool persistent = false;  // keep failing after the first
  bool short_read = false;  // a failing read returns what it got and errno 30
  // A full disk: only writes that grow the file count and fail, with the
  // first half of their bytes written and errno ENOSPC. Otherwise every
  // write counts, and a failing one writes nothing, errno EIO.
  bool disk_full = false;
  int calls = 0;            // matching calls seen
  int failures = 0;         // failures injected
};

class FaultIo {
 public:
  FaultIo();   // installs the wrapping slots
  ~FaultIo();  // restores the defaults
  FaultIo(const FaultIo&) = delete;
  FaultIo& operator=(const FaultIo&) = delete;

  FaultPlan& plan() { return plan_; }
  void arm(IoKind kind, int fail_at, bool persistent = false, bool disk_full = false) {
    plan_ = FaultPlan{};
    plan_.kind = kind;
    plan_.fail_at = fail_at;
    plan_.persistent = persistent;
    plan_.disk_full = disk_full;
  }
  void disarm() { plan_.fail_at = 0; }

 private:
  FaultPlan plan_;
};
