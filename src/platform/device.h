// Devices: the one kind of CreateFileA the Monitor makes, opening its
// driver "\\.\QBSYS.VXD", and DeviceIoControl on the handle.
//
// Linux has no such driver to load. A device is a table entry: an
// implementation registers itself under its name (the driver stand-in in
// driver/, or a scripted device in tests), and CreateFileA of "\\.\NAME"
// looks the name up (ignoring the case of A to Z) and calls its open. Each
// DeviceIoControl calls its control on the caller's thread; the last
// reference to the handle going (CloseHandle, once calls running on it have
// returned) calls its close. CreateFileA serves device names only: any
// other path, and a device name nobody registered, gives
// INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND. The engine's files go
// through its own FileIo table, never through here.
//
// A handle copies the QbDevice record when it opens, so registering another
// implementation under the name (or none) changes later opens only. The
// record's `self` must outlive every handle opened on it.
//
// Threads: any thread; the table has its own lock, never held while a
// device function runs, so a device may call back into the platform
// (QueueUserAPC, PostMessageA, SetEvent) from any of its functions.
#pragma once

#include "platform/win_types.h"

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000u;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

constexpr DWORD FILE_DEVICE_UNKNOWN = 0x22;
constexpr DWORD METHOD_NEITHER = 3;
constexpr DWORD FILE_ANY_ACCESS = 0;
constexpr DWORD CTL_CODE(DWORD device, DWORD function, DWORD method, DWORD access) {
  return (device << 16) | (access << 14) | (function << 2) | method;
}

// One device implementation. `control` is required; `open` and `close` may
// be null (nothing to do). A failing function returns FALSE after SetLastError; FALSE with the
// last error left at 0 is reported as ERROR_GEN_FAILURE.
struct QbDevice {
  BOOL (*open)(void* self);
  BOOL (*control)(void* self, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                  DWORD* returned);
  void (*close)(void* self);
  void* self;
};

// Registers `device` under `name`, the full device path ("\\.\QBSYS.VXD").
// The record is copied; null removes the name.
void qb_register_device(const char* name, const QbDevice* device);

// Only `name`, `flags` matter; the other arguments are accepted as Windows
// takes them. FILE_FLAG_OVERLAPPED is accepted, but every call on the handle
// completes before it returns.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE template_file);

// Calls the device's control. *returned (when not null) is set to 0 first.
// FALSE with ERROR_INVALID_HANDLE for a handle that is no device, and with
// ERROR_INVALID_PARAMETER when `overlapped` is not null.
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                     LPDWORD returned, LPOVERLAPPED overlapped);
