// The driver protocol, as the event thread and the main window see it.
//
// The record layout, the operation codes, the five control codes,
// driverHandle and `running` are in tracking/event_record.h, because the
// event handler (tracking/, a floor below this one) needs them too; this
// header adds what only the driver link and the window use.
//
// Talking to the driver (all through DeviceIoControl on driverHandle, with a
// bytes-returned variable and no overlapped structure; 0 means failure and
// GetLastError says why):
//   open      CreateFileA ("\\.\QBSYS.VXD", access 0, share 0, creation 0,
//             FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED); closing the
//             handle unloads the driver
//   register  IOCTL_REGISTER_HANDLER (DoResponse's address, sent from the
//             event thread), then IOCTL_REGISTER_EVENT (driverEvent's ring-0
//             handle from OpenVxDHandle), then IOCTL_REGISTER_WINDOW
//             (mainWindow), each only after the one before succeeded
//   events    a queued call of DoResponse on the event thread, or
//             WM_DRIVEREVENT posted to mainWindow with the record's address
//             in lParam; either way DoResponse acknowledges the record
//   stop      IOCTL_STOP at exit; the driver answers with an OP_STOP event
//
// Threads: driverEvent is created by the window's thread before the event
// thread starts and only handed to the driver; nobody waits on it here.
#pragma once

#include "platform/win_types.h"
#include "tracking/event_record.h"

// The device name the driver is opened by.
extern const char kDriverDevice[];  // "\\.\QBSYS.VXD"

// The window message a driver may post an event with (lParam: the record).
constexpr UINT WM_DRIVEREVENT = 1030;

// Manual-reset, initially non-signalled, unnamed event handed to the driver.
extern HANDLE driverEvent;

// OpenVxDHandle: the ring-0 handle of an event, for IOCTL_REGISTER_EVENT.
typedef DWORD (*OpenVxDHandleProc)(HANDLE event);

// Loads "<system directory>/kernel32.dll" and looks up "OpenVxDHandle" in
// it. Null when the system directory cannot be had, the path does not fit
// 260 bytes, the library does not load or has no such export.
OpenVxDHandleProc getOpenVxDHandle();
