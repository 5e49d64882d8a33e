// The event thread (see event_thread.h).
#include "driver_link/event_thread.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "driver_link/protocol.h"
#include "platform/device.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/state_dir.h"
#include "platform/threads.h"
#include "platform/window.h"
#include "tracking/do_response.h"
#include "tracking/event_record.h"
#include "tracking/table_guard.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"

const char kMonitorCaption[] = "Quibbet Monitor";
const char kCorruptMessage[] = "The Quibbet Database is corrupt.\nYou may be able to restore it from a backup.";
const char kLoadMessage[] = "Unable to load QBSys.vxd from the Windows System subdirectory.";
const char kUnavailableMessage[] = "QBSys.vxd in the Windows System subdirectory is unavailable.";
const char kStatusMissingMessage[] =
    "The registry had no \"status\" value: taken as a clean stop of the last run and written as 0.";
const char kEventStatusKeyPath[] = "SOFTWARE\\Kestrin Software\\Quibbet\\Status\\";

std::atomic<HANDLE> threadMutex{nullptr};

namespace {

const char kStatusName[] = "status";

// The Monitor's exit status when the notes table can be neither opened nor
// recovered: the status qbnote gives for a table it cannot use.
constexpr DWORD kTableUnusableExit = 3;

// Guards the load of the driver against the start of the shutdown (step 6).
std::mutex& driverGate() {
  static std::mutex gate;
  return gate;
}
bool& shutdownBegun() {
  static bool begun = false;
  return begun;
}

// Shows `text` and ends the Monitor's message loop with `code` as WM_QUIT's
// wParam; the caller then ends the thread with the same code.
void fatal(const char* text, WPARAM code) {
  (void)MessageBoxA(mainWindow, text, kMonitorCaption, MB_OK);
  (void)PostMessageA(mainWindow, WM_QUIT, code, 0);
}

// One control call with the given input and a 4-byte output nobody reads.
bool control(DWORD code, const void* input, DWORD inputSize) {
  DWORD output = 0;
  DWORD returned = 0;
  return DeviceIoControl(driverHandle, code, const_cast<void*>(input), inputSize, &output, sizeof output,
                         &returned, nullptr) != FALSE;
}

// The last error after a failed step, never 0: WM_QUIT's wParam and the
// thread's result should say that something failed.
DWORD lastErrorOr(DWORD fallback) {
  DWORD e = GetLastError();
  return e != 0 ? e : fallback;
}

// The state folder and its system folder must take new files: the registry,
// the profile, the tables' backups and compaction copies are written anew
// there. The errno of the first folder that refuses a file, naming it in
// `folder`; 0 when both take one.
int unwritableStateFolder(std::string* folder) {
  char system[kPathBuffer];
  const std::string dirs[2] = {qb_state_dir(), GetSystemDirectoryA(system, kPathBuffer) != 0 ? system : ""};
  for (const std::string& dir : dirs) {
    *folder = dir.empty() ? "(its place cannot be made)" : dir;
    if (dir.empty()) return errno != 0 ? errno : ENOENT;
    const std::string probe = dir + "/.qbmon-write-test";
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    (void)::close(fd);
    (void)::unlink(probe.c_str());
  }
  return 0;
}

}  // namespace

DWORD EventThread(LPVOID) {
  // Step 1. Never released: the end of this thread frees it.
  threadMutex.store(CreateMutexA(nullptr, TRUE, nullptr));

  // A state folder that takes no new file would leave the marks of a clean
  // stop and the backups unwritten while the Monitor looked healthy.
  std::string folder;
  if (int e = unwritableStateFolder(&folder); e != 0) {
    char text[kPathBuffer + 256];
    std::snprintf(text, sizeof text,
                  "The Monitor cannot write its state folder %s: %s. Make it writable, or set QB_HOME to a "
                  "folder that is, and start qbmon again.",
                  folder.c_str(), std::strerror(e));
    fatal(text, static_cast<WPARAM>(e));
    return static_cast<DWORD>(e);
  }

  // Steps 2 and 3: the registry's code ends the thread silently. A missing
  // "status" (removed by hand, or a registry of an older version) is a
  // clean stop: it is written as 0 and the start goes on.
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventStatusKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_QUERY_VALUE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  DWORD status = 0;
  DWORD size = sizeof status;
  rc = RegQueryValueExA(key, kStatusName, nullptr, nullptr, reinterpret_cast<LPBYTE>(&status), &size);
  (void)RegCloseKey(key);
  if (rc == ERROR_FILE_NOT_FOUND) {
    status = 0;
    writeStatus(0);
    (void)MessageBoxA(mainWindow, kStatusMissingMessage, kMonitorCaption, MB_OK | MB_ICONWARNING);
  } else if (rc != ERROR_SUCCESS) {
    return static_cast<DWORD>(rc);
  }

  // Step 4: a table left open by the last run is rebuilt, else restored.
  if (status == 1) {
    bool restored;
    {
      std::lock_guard<std::mutex> guard(tracking_table_mutex());
      restored = rebuildNotesTable() == 1 || restoreFromBackup() != 0;
    }
    if (!restored) {
      fatal(kCorruptMessage, kTableUnusableExit);
      return kTableUnusableExit;
    }
  }

  // Step 5: open; when that fails, the backup once, and open again. An
  // index file missing or damaged while the last stop was clean (deleted or
  // overwritten by hand, a disk error), or one written by qbnote in an
  // earlier boot of the system with no Monitor running (its writes are not
  // flushed, see btree/index_file.h), is first rebuilt from the data file,
  // which holds every note: the backup is older. Opened without its index,
  // the table would take no event and the Monitor would look healthy.
  int r;
  {
    std::lock_guard<std::mutex> guard(tracking_table_mutex());
    r = openDatabase();
    if (r == kNotesIndexUnusable) {
      char text[2 * kPathBuffer + 200];
      char dataFile[kPathBuffer] = "", indexFile[kPathBuffer] = "";
      (void)systemFilePath(dataFile, "qb.db");
      (void)systemFilePath(indexFile, "qb.idx");
      std::snprintf(text, sizeof text,
                    "The notes table's index file %s is missing, damaged, or may lack changes that had not reached "
                    "the disk when the system last went down: rebuilding it from the data file %s.",
                    indexFile, dataFile);
      (void)MessageBoxA(mainWindow, text, kMonitorCaption, MB_OK | MB_ICONWARNING);
      if (rebuildNotesTable() == 1) r = openDatabase();
    }
    // Without a backup r stays the failing open's result.
    if (r != 1 && restoreFromBackup() != 0) r = openDatabase();
  }
  if (r != 1) {
    fatal(kCorruptMessage, kTableUnusableExit);
    return kTableUnusableExit;
  }

  // Step 6: load the driver, unless the Monitor has begun to shut down
  // meanwhile. The shutdown sends the stop request only to a driver it can
  // see; one loaded after that look would never be stopped and the
  // shutdown would wait for this thread for ever. The gate makes the look
  // and the load exclusive: either the shutdown sees the handle, or this
  // thread sees the shutdown and ends here.
  {
    std::lock_guard<std::mutex> gate(driverGate());
    if (shutdownBegun()) return static_cast<DWORD>(r);
    driverHandle = CreateFileA(kDriverDevice, 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED,
                               nullptr);
  }
  if (driverHandle == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    fatal(kLoadMessage, e);
    return e;
  }

  // Step 7, from this thread: the driver queues its calls to the thread
  // that registered the handler.
  const ULONG_PTR handler = reinterpret_cast<ULONG_PTR>(&DoResponseApc);
  if (!control(IOCTL_REGISTER_HANDLER, &handler, sizeof handler)) {
    DWORD e = lastErrorOr(ERROR_GEN_FAILURE);
    fatal(kUnavailableMessage, e);
    return e;
  }

  // Step 8.
  OpenVxDHandleProc openVxDHandle = getOpenVxDHandle();
  bool registered = false;
  if (openVxDHandle == nullptr) {
    if (GetLastError() == 0) SetLastError(static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  } else {
    DWORD ring0 = openVxDHandle(driverEvent);
    registered = control(IOCTL_REGISTER_EVENT, &ring0, sizeof ring0);
  }
  if (!registered) {
    DWORD e = lastErrorOr(ERROR_GEN_FAILURE);
    fatal(kUnavailableMessage, e);
    return e;
  }

  // Step 9.
  const HWND window = mainWindow;
  if (!control(IOCTL_REGISTER_WINDOW, &window, sizeof window)) {
    DWORD e = lastErrorOr(ERROR_GEN_FAILURE);
    fatal(kUnavailableMessage, e);
    return e;
  }

  // Step 10: every return from the wait follows queued calls, each of
  // which ran DoResponse; OP_STOP among them clears `running`.
  while (running.load() != 0) (void)SleepEx(INFINITE, TRUE);

  // Step 11.
  (void)CloseHandle(driverHandle);
  return static_cast<DWORD>(r);
}

HANDLE beginEventThreadShutdown() {
  std::lock_guard<std::mutex> gate(driverGate());
  shutdownBegun() = true;
  return driverHandle;
}

DWORD drainQueuedEvents(DWORD boundMs) {
  HANDLE driver;
  {
    std::lock_guard<std::mutex> gate(driverGate());
    driver = driverHandle;
  }
  if (driver == nullptr || driver == INVALID_HANDLE_VALUE) return 0;
  DWORD left = 0;
  DWORD returned = 0;
  if (!DeviceIoControl(driver, IOCTL_DRAIN, &boundMs, sizeof boundMs, &left, sizeof left, &returned, nullptr))
    return 0;
  if (left == 0) return 0;
  traceLine("STOP: %lu queued events not handled\n", static_cast<unsigned long>(left));
  char text[200];
  std::snprintf(text, sizeof text,
                "%lu file events were still queued when the Monitor stopped and were not handled: notes of "
                "files moved or deleted just before may have stayed behind; `qbnote ls --missing` lists them.",
                static_cast<unsigned long>(left));
  (void)MessageBoxA(nullptr, text, kMonitorCaption, MB_OK | MB_ICONWARNING);
  return left;
}

void resetEventThreadShutdown() {
  std::lock_guard<std::mutex> gate(driverGate());
  shutdownBegun() = false;
}
