// The Linux stand-in for the kernel file-event driver: a device named
// "\\.\QBSYS.VXD" in the platform's device table, which the Monitor opens
// with CreateFileA and drives with DeviceIoControl exactly as it would the
// real driver.
//
//   open    reads the watch roots (registry string "WatchRoots" under
//           HKEY_LOCAL_MACHINE, key "SOFTWARE\Kestrin Software\Quibbet\Configuration",
//           folders separated by ':'; the home folder when it is missing
//           or empty), watches every folder below them except
//           the state folder, listens for copy reports, and starts the
//           reader thread. Fails (INVALID_HANDLE_VALUE, the cause as last
//           error: an errno value) when inotify cannot be started or no root
//           can be watched, and with ERROR_SHARING_VIOLATION while the
//           device is open already: one driver, one Monitor.
//   events  one 516-byte EventRecord at a time, as a queued call of the
//           registered handler on the thread that registered it
//   close   stops the reader thread; the watches, the socket and every
//           event not yet delivered go.
//
// The pieces: inotify_watch (the watches), event_mapper (kernel events to
// operation codes), report_socket (copies reported by programs), reader (the
// thread), delivery (the device: control calls, one record at a time).
//
// Callers: the Monitor's main calls qb_driver_install once, before anything
// opens the device. Any thread.
#pragma once

// The device's name, as CreateFileA is given it.
constexpr char kDriverDeviceName[] = "\\\\.\\QBSYS.VXD";

// Registers the driver in the platform's device table under
// kDriverDeviceName, replacing whatever was registered there.
void qb_driver_install();
