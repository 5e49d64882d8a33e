// The event record the file-system driver hands over, its operation codes,
// the driver's control codes, and the two globals the event handler shares
// with the event thread.
//
// Why this lives in tracking/ and not in driver_link/: the event handler
// (tracking/, floor 4) reads the record, acknowledges it on driverHandle and
// clears `running` on a stop, but may include nothing from driver_link/
// (floor 5). So the part of the protocol the handler needs is kept here, and
// driver_link/protocol.h includes this header and adds what only the event
// thread and the window use (driverEvent, getOpenVxDHandle, WM_DRIVEREVENT).
//
// EventRecord, owned by the driver; the Monitor reads it in place and writes
// only `operation`. It stays unchanged from delivery until acknowledged.
//
//   OFFSET  SIZE  FIELD       CONTENTS
//      0    256   sourcePath  full path, zero-terminated: the old, copied-
//                             from, deleted or removed path
//    256    256   targetPath  full path, zero-terminated: the new, copied-to
//                             or created path
//    512      4   operation   signed 32-bit, host order (little-endian on
//                             every machine the driver runs on); set to 0
//                             before acknowledging, except for OP_STOP
//
// A plain struct describes the record because the driver and the Monitor
// share it in memory within one machine; nothing here is written to disk.
// Every field falls on its natural alignment, so the struct has no padding
// (checked below). No byte past offset 515 is ever touched.
//
// Invariants the handler relies on (the driver's side of the bargain):
//   (1) a record is delivered only after the previous one was acknowledged;
//   (2) a path field is meant to hold its terminator within its 256 bytes;
//       the handler still never reads past a field when it does not.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/device.h"
#include "platform/win_types.h"

constexpr int kEventPathSize = 256;

struct EventRecord {
  char sourcePath[kEventPathSize];
  char targetPath[kEventPathSize];
  int32_t operation;
};

static_assert(sizeof(EventRecord) == 516, "the driver's record is 516 bytes");
static_assert(offsetof(EventRecord, sourcePath) == 0);
static_assert(offsetof(EventRecord, targetPath) == 256);
static_assert(offsetof(EventRecord, operation) == 512);

// Operation codes. Any other value is acknowledged and otherwise ignored.
constexpr int32_t OP_COPY = 1;          // note of sourcePath copied to targetPath
constexpr int32_t OP_RENAME = 2;        // file or folder renamed or moved
constexpr int32_t OP_DELETE = 3;        // sourcePath deleted; its note set aside
constexpr int32_t OP_REMOVE = 4;        // note of sourcePath dropped, not set aside
constexpr int32_t OP_COPY_REVERSE = 5;  // note of targetPath copied to sourcePath
constexpr int32_t OP_CREATE = 6;        // targetPath created
constexpr int32_t OP_STOP = 100;        // ends the event thread's wait

// Device control codes: CTL_CODE (unknown device 0x22, function n, method
// neither, any access), that is 0x220000 + 4n + 3. Inputs:
constexpr DWORD IOCTL_REGISTER_HANDLER =  // the handler's address (see do_response.h)
    CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_REGISTER_EVENT =  // driverEvent's ring-0 handle, 4 bytes
    CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_REGISTER_WINDOW =  // mainWindow
    CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_ACKNOWLEDGE =  // the handled record's address
    CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_STOP =  // no buffers
    CTL_CODE(FILE_DEVICE_UNKNOWN, 5, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_DRAIN =  // a bound in ms, 4 bytes; out: events not handled, 4 bytes
    CTL_CODE(FILE_DEVICE_UNKNOWN, 6, METHOD_NEITHER, FILE_ANY_ACCESS);
static_assert(IOCTL_REGISTER_HANDLER == 0x220007 && IOCTL_REGISTER_EVENT == 0x22000B &&
              IOCTL_REGISTER_WINDOW == 0x22000F && IOCTL_ACKNOWLEDGE == 0x220013 && IOCTL_STOP == 0x220017);
// Addresses travel as ULONG_PTR, a full pointer: 8 bytes on 64-bit Linux,
// where the driver's 4-byte inputs could not hold one.

// The opened driver. Null until the event thread opens the device,
// INVALID_HANDLE_VALUE after a failed open; closed by the event thread after
// OP_STOP. Written only by the event thread.
extern HANDLE driverHandle;

// 1 while the event thread is to keep waiting for events; the event handler
// sets it to 0 on OP_STOP, on whichever thread that event arrives (the event
// thread or the window's), so it is atomic.
extern std::atomic<int> running;
