#include "platform/module.h"

#include <atomic>
#include <cstring>

#include "platform/dialogs.h"
#include "platform/files.h"

namespace {

QbModule g_kernel = {"kernel32.dll", nullptr, 0};

std::atomic<int> g_service_type{-1};
std::atomic<DWORD> g_service_pid{0};

DWORD open_vxd_handle(HANDLE event) { return qb_event_token(event); }

DWORD register_service_process(DWORD pid, DWORD type) {
  g_service_pid.store(pid);
  g_service_type.store(static_cast<int>(type));
  return 1;
}

struct Export {
  const char* name;
  FARPROC address;
};

const Export kExports[] = {
    {"OpenVxDHandle", reinterpret_cast<FARPROC>(&open_vxd_handle)},
    {"RegisterServiceProcess", reinterpret_cast<FARPROC>(&register_service_process)},
};

// Whether the last component of `path` is kernel32.dll, ignoring case.
bool names_kernel(LPCSTR path) {
  if (path == nullptr) return false;
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  return ::strcasecmp(base, g_kernel.name) == 0;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR path) {
  if (names_kernel(path)) return &g_kernel;
  SetLastError(static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  return nullptr;
}

HMODULE GetModuleHandleA(LPCSTR name) { return LoadLibraryA(name); }

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (module == &g_kernel && name != nullptr) {
    for (const Export& e : kExports)
      if (std::strcmp(e.name, name) == 0) return e.address;
  }
  SetLastError(static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  if (module == &g_kernel) return TRUE;
  SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
  return FALSE;
}

int qb_service_process_type() { return g_service_type.load(); }
DWORD qb_service_process_pid() { return g_service_pid.load(); }
void qb_service_process_reset() {
  g_service_type.store(-1);
  g_service_pid.store(0);
}
