// Modules: LoadLibraryA, GetModuleHandleA and GetProcAddress for the one
// module the Monitor looks up by name, the system's kernel module, whose
// exports exist only on some Windows versions and are therefore found at
// run time.
//
// The kernel module is built in. LoadLibraryA of any path whose last
// component is "kernel32.dll" (ignoring the case of A to Z; '/' or '\'
// before it), and GetModuleHandleA of such a name, give its handle; every
// other name gives null with ERROR_MOD_NOT_FOUND. Its exports:
//
//   "OpenVxDHandle"           DWORD (*)(HANDLE event): qb_event_token
//                             (platform/threads.h): a 32-bit token by which
//                             a driver finds the event again with
//                             qb_event_from_token; 0 for a handle that is no
//                             event.
//   "RegisterServiceProcess"  DWORD (*)(DWORD pid, DWORD type): records the
//                             call (type 1 registers, 0 unregisters) and
//                             returns 1. On Linux nothing else changes: a
//                             process started from a terminal is kept from
//                             a log-off's hang-up by how it is started, not
//                             by this call.
//
// GetProcAddress of another name, or on another module, gives null with
// ERROR_PROC_NOT_FOUND. Export names compare exactly, as on Windows.
//
// Threads: any thread.
#pragma once

#include "platform/threads.h"
#include "platform/win_types.h"

constexpr DWORD RSP_UNREGISTER_SERVICE = 0;
constexpr DWORD RSP_SIMPLE_SERVICE = 1;

HMODULE LoadLibraryA(LPCSTR path);
HMODULE GetModuleHandleA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
// TRUE for the kernel module (which stays loaded), else FALSE with
// ERROR_INVALID_HANDLE.
BOOL FreeLibrary(HMODULE module);

// What RegisterServiceProcess was last told: the type of its last call
// (RSP_SIMPLE_SERVICE after a registration), -1 when it was never called
// (or since qb_service_process_reset), and the pid it was given.
int qb_service_process_type();
DWORD qb_service_process_pid();
void qb_service_process_reset();
