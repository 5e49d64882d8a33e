// The Windows types and constants that the code above the engine is written
// in, defined once for Linux.
//
// The Monitor's own code (upkeep/, tracking/, driver_link/, monitor/) calls
// the operating system through the services of platform/, which carry the
// Windows names and behave as the Windows services do. This header holds only
// the vocabulary those calls need: integer types, handle types and the
// constants the callers pass or compare against. The numeric values are the
// Windows ones, so that code and traces read the same on both systems.
//
// It grows with its users: the window, message and thread services add their
// types and constants here (WPARAM/LRESULT users, message numbers, HANDLE
// waits) when they arrive. Keep each addition to what some caller needs.
//
// Handle types are pointers to incomplete structs: a caller can store,
// compare and pass them, never look inside. Each service keeps its own list
// of live handles and refuses one it did not hand out.
//
// Any file may include this; it includes nothing of ours.
#pragma once

#include <cstdint>

// ---- integers --------------------------------------------------------------
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef int INT;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef intptr_t INT_PTR;
typedef intptr_t LPARAM;
typedef uintptr_t WPARAM;
typedef intptr_t LRESULT;
typedef DWORD REGSAM;

typedef uintptr_t ULONG_PTR;
typedef uintptr_t SIZE_T;
typedef WORD ATOM;
typedef void* LPVOID;

typedef const char* LPCSTR;
typedef char* LPSTR;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;

// Calling-convention markers of Windows declarations; nothing on Linux.
#define WINAPI
#define CALLBACK
#define APIENTRY

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr int MAX_PATH = 260;

// ---- handles -----------------------------------------------------------------
typedef struct QbHandle* HANDLE;  // threads, events, mutexes, processes, devices, searches (platform/kernel_objects.h)
typedef struct QbRegKey* HKEY;    // registry keys (platform/registry.h)
typedef HKEY* PHKEY;
typedef struct QbWindow* HWND;    // windows (platform/window.h) and dialogs (platform/dialogs.h)
typedef struct QbModule* HINSTANCE;  // a module's resources (platform/dialogs.h)
typedef struct QbRegion* HRGN;    // accepted and ignored by RedrawWindow
typedef HINSTANCE HMODULE;        // as on Windows, a module is its instance
typedef struct QbIcon* HICON;     // tokens for icon resources (platform/tray.h)
typedef struct QbCursor* HCURSOR; // window-class fields, never looked at
typedef struct QbBrush* HBRUSH;
typedef struct QbMenu* HMENU;
struct OVERLAPPED;                // asynchronous I/O is not offered; callers pass null
typedef OVERLAPPED* LPOVERLAPPED;
struct SECURITY_ATTRIBUTES;       // never looked at; callers pass null
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

// The two registry hives the Monitor uses. Like their Windows counterparts
// they are fixed values, not allocations: they are never closed and never
// dereferenced.
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t{0x80000001u});
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t{0x80000002u});

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(intptr_t{-1});

// ---- error codes (registry results, SetLastError) ----------------------------
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_INVALID_FUNCTION = 1;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_NO_MORE_FILES = 18;
constexpr LONG ERROR_WRITE_FAULT = 29;
constexpr LONG ERROR_READ_FAULT = 30;
constexpr LONG ERROR_GEN_FAILURE = 31;
constexpr LONG ERROR_NOT_SUPPORTED = 50;
constexpr LONG ERROR_FILE_EXISTS = 80;
constexpr LONG ERROR_DISK_FULL = 112;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MOD_NOT_FOUND = 126;
constexpr LONG ERROR_PROC_NOT_FOUND = 127;
constexpr LONG ERROR_ALREADY_EXISTS = 183;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NOT_OWNER = 288;
constexpr LONG ERROR_CONTROL_ID_NOT_FOUND = 1421;
constexpr LONG ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr LONG ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr LONG ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr LONG ERROR_INVALID_THREAD_ID = 1444;
constexpr LONG ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

// The calling thread's last error, which every service of platform/ sets on
// failure (defined with the file calls, platform/files.h; declared here so
// that each service's callers have it, as every Windows caller does).
DWORD GetLastError();
void SetLastError(DWORD error);

// ---- registry ----------------------------------------------------------------
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// ---- files -------------------------------------------------------------------
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// ---- windows -----------------------------------------------------------------
constexpr UINT RDW_INVALIDATE = 0x0001;
constexpr UINT RDW_ALLCHILDREN = 0x0080;
constexpr UINT RDW_UPDATENOW = 0x0100;

constexpr int SW_HIDE = 0;
constexpr int SW_SHOW = 5;

constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_INITDIALOG = 0x0110;

typedef INT_PTR (*DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);

// ---- threads and modules -----------------------------------------------------
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID);
typedef void (*PAPCFUNC)(ULONG_PTR);
// What GetProcAddress returns: cast it to the export's real type to call it.
// (void with no parameters, so that the cast draws no -Wcast-function-type.)
typedef void (*FARPROC)();
