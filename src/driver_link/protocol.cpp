// The driver protocol's globals and the OpenVxDHandle look-up (see
// protocol.h).
#include "driver_link/protocol.h"

#include <cstdio>

#include "platform/module.h"
#include "platform/state_dir.h"

const char kDriverDevice[] = "\\\\.\\QBSYS.VXD";

HANDLE driverEvent = nullptr;

OpenVxDHandleProc getOpenVxDHandle() {
  char path[MAX_PATH];
  UINT length = GetSystemDirectoryA(path, sizeof path);
  if (length == 0 || length >= sizeof path) return nullptr;
  // A library path cut short would load some other file.
  int written = std::snprintf(path + length, sizeof path - length, "/kernel32.dll");
  if (written < 0 || static_cast<size_t>(written) >= sizeof path - length) return nullptr;
  HMODULE library = LoadLibraryA(path);
  if (library == nullptr) return nullptr;
  // Through void (*)(), the one function type every other converts to
  // without a warning; the export has the type OpenVxDHandleProc.
  FARPROC proc = GetProcAddress(library, "OpenVxDHandle");
  return reinterpret_cast<OpenVxDHandleProc>(reinterpret_cast<void (*)()>(proc));
}
