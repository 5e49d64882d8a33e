// The tray icon: Shell_NotifyIconA and LoadIconA.
//
// Linux desktops differ in whether and how they show tray icons, and the
// Monitor usually runs where no desktop is. The tray is therefore a record
// of the icons the program asked for: what is shown, and a log of changes
// that tests read ("icon shown", "icon changed", "icon removed"). Since no
// one can click an icon that is not drawn, qb_tray_click plays a click: it
// posts the icon's callback message to its window as the shell would
// (wParam the icon id, lParam the mouse message). `qbmon --stop` (through
// platform/signals.h) takes the place of the click-and-confirm for users.
//
// Icons are identified, as on Windows, by their window and id. NIM_ADD of
// an icon already shown, and NIM_MODIFY or NIM_DELETE of one not shown,
// fail (FALSE). The record's size field is not checked.
//
// An icon handle from LoadIconA is a token that names the resource; there
// are no pictures. Resource ids are small integers (MAKEINTRESOURCEA); a
// name string is refused.
//
// Threads: any thread; the tray has its own lock.
#pragma once

#include <string>
#include <vector>

#include "platform/win_types.h"

constexpr DWORD NIM_ADD = 0;
constexpr DWORD NIM_MODIFY = 1;
constexpr DWORD NIM_DELETE = 2;
constexpr UINT NIF_MESSAGE = 1;
constexpr UINT NIF_ICON = 2;
constexpr UINT NIF_TIP = 4;

struct NOTIFYICONDATAA {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  char szTip[64];
};
typedef NOTIFYICONDATAA* PNOTIFYICONDATAA;

// A resource id passed where a name is expected, as Windows does.
inline LPCSTR MAKEINTRESOURCEA(int id) {
  return reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(static_cast<WORD>(id)));
}
inline bool IS_INTRESOURCE(LPCSTR name) { return (reinterpret_cast<uintptr_t>(name) >> 16) == 0; }

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data);

// The token of icon resource `name` (an id from MAKEINTRESOURCEA) of
// `module`; null with ERROR_RESOURCE_NAME_NOT_FOUND for a name string.
HICON LoadIconA(HINSTANCE module, LPCSTR name);
inline HICON LoadIconA(HINSTANCE module, int id) { return LoadIconA(module, MAKEINTRESOURCEA(id)); }
// The resource id an icon token stands for, 0 for none.
int qb_icon_resource(HICON icon);

// For tests: the icons shown now, oldest first; the log of changes; a click
// on the first icon shown (FALSE when none is shown or the post fails).
std::vector<NOTIFYICONDATAA> qb_tray_icons();
std::vector<std::string> qb_tray_log();
void qb_tray_log_clear();
BOOL qb_tray_click(UINT mouse_message);
