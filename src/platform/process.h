// Starting programs: CreateProcessA, with which the Monitor launches the
// notes program.
//
// The command line is split on blanks (spaces and tabs; quotes have no
// meaning) into the argument list, and the program is started with
// posix_spawnp: no shell, the program looked up on PATH when its name has
// no '/'. With an application name, that is the program and the whole
// command line the argument list (argv[0] included, as on Windows). The
// child starts with an empty signal mask and default dispositions for the
// signals this layer handles, whatever the Monitor's own settings; the
// Monitor's descriptors are close-on-exec and do not reach it.
//
// `environment` (null: the caller's) is a Windows environment block,
// "NAME=value\0...\0\0"; `current_directory` (null: the caller's) is where
// the program starts. Creation flags, handle inheritance and the start-up
// record are accepted and ignored.
//
// The process handle becomes signalled when the program ends (a thread of
// this layer reaps it, so no zombie is left when nobody waits);
// GetExitCodeProcess then gives its exit status, or 128 + the signal number
// that ended it. The thread handle stands for the program's main thread and
// is signalled at the same moment. Both are closed with CloseHandle; closing
// them does not stop the program.
//
// Errors: FALSE with GetLastError = errno from the spawn (ENOENT, 2, is also
// ERROR_FILE_NOT_FOUND), or ERROR_INVALID_PARAMETER for an empty command.
//
// Threads: any thread.
#pragma once

#include "platform/win_types.h"

struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
typedef STARTUPINFOA* LPSTARTUPINFOA;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;  // the main thread's: the process id on Linux
};
typedef PROCESS_INFORMATION* LPPROCESS_INFORMATION;

BOOL CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES process_security,
                    LPSECURITY_ATTRIBUTES thread_security, BOOL inherit_handles, DWORD flags, LPVOID environment,
                    LPCSTR current_directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info);

// STILL_ACTIVE while the program runs, then its exit status.
BOOL GetExitCodeProcess(HANDLE process, LPDWORD code);
