// A FileIo that wraps the real POSIX slots and injects failures: the N-th
// call of a chosen kind fails (once, or from then on), and reads can be cut
// short. Install it after ix_startup (which refills the table with the
// defaults); the destructor puts the defaults back.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "cache/file_io.h"

enum class IoKind { Read, Write, Flush, Lock, Unlock, Open, Create, Close, CurrentDir, Any };

struct FaultPlan {
  IoKind kind = IoKind::Any;
  int fail_at = 0;          // fail the N-th matching call from now; 0 = never
  bool persistent = false;  // keep failing after the first
  bool short_read = false;  // a failing read returns what it got and errno 30
  // A full disk: only writes that grow the file count and fail, with the
  // first half of their bytes written and errno ENOSPC. Otherwise every
  // write counts, and a failing one writes nothing, errno EIO.
  bool disk_full = false;
  void (*observe)(IoKind kind) = nullptr;  // told of every call, failing or not
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

// --- power cuts ---------------------------------------------------------------
//
// The system's file cache under a power cut. In the writing process
// PowerCutIo lets every call through to the files (other processes read the
// cache as it is) and appends each change to a log outside the files, by
// file identity (inode, so that a file renamed or copied over another is
// still followed): the file as the process first opens it (taken as on
// disk), a create (an empty file), each write (offset and bytes), each
// flush (the file is on disk as of now), each remove. At the `cut_at`-th
// changing call (write, flush, create, remove) the process ends in its place
// with kPowerCutExit. cutPower then rewrites every logged file that still
// has a name under `folder` as the disk may hold it: its image at its last
// flush, and in each 512-byte sector (counted from the start of the file)
// what the cache held there at some moment since, drawn from `rng`: of the
// writes since the flush that touch the sector, the first k, k from none to
// all. A write is so lost, kept or torn, and sectors reach the disk in any
// order. The file ends where the bytes kept past its flushed end stop
// running on; with `gaps` it ends with the last byte kept, and a sector not
// kept before that reads as zeros (a file system that commits a file's size
// before its data). Creates, removes and renames are on disk at once (the
// engine's renames and copies flush the folder); files written outside the
// engine's FileIo are not followed and count as on disk. The writing process
// tells a boot id of its own, so that a process after the cut, with the
// system's, runs in a later boot as it would after a real one.
constexpr int kPowerCutExit = 79;

class PowerCutIo {
 public:
  PowerCutIo(const std::string& log, long cut_at);  // installs the logging slots
  ~PowerCutIo();                                    // restores the defaults
  PowerCutIo(const PowerCutIo&) = delete;
  PowerCutIo& operator=(const PowerCutIo&) = delete;
};

struct PowerCut {
  long calls = 0;  // changing calls in the log
  long lost = 0, kept = 0, torn = 0;  // the writes not yet flushed, by fate
  int files = 0;                      // files rewritten
  std::string error;                  // the log does not account for a file as found
};
PowerCut cutPower(const std::string& log, const std::string& folder, std::mt19937& rng, bool gaps);
