// Dialogs: modeless dialogs built from templates, as the Windows dialog
// manager builds them from a module's resources.
//
// A module (HINSTANCE) is a table of templates; resources/ defines the
// program's module and the Monitor passes it where Windows passes the
// instance handle. CreateDialogParamA looks the template up by its id there.
//
// On Linux there is no screen to draw on. A dialog is an in-memory window
// with the texts of its controls. When standard error is a terminal, the
// dialog shows as lines on it: its caption when it becomes visible, then each
// control text as it is set (leading line breaks and blanks dropped). Without
// a terminal nothing is printed and nothing fails. Every event is also
// recorded in the dialog log, which tests read:
//   "create <id>: <caption>"   "show"   "hide"   "text <control id>: <text>"
//   "redraw"   "destroy"
// The log grows with every event until cleared; the Monitor makes one dialog
// a run.
//
// The dialog procedure gets WM_INITDIALOG (lParam = the creation parameter)
// once the dialog exists and WM_DESTROY before it goes; no message loop runs,
// so it gets nothing else.
//
// HWND is shared with the windows of the window service (platform/window.h).
// ShowWindow and DestroyWindow are defined there and serve both kinds; for a
// handle that qb_is_dialog() recognises they run qb_dialog_show and
// qb_dialog_destroy below.
//
// Threads: the user-interface thread only; nothing here is locked.
#pragma once

#include <string>
#include <vector>

#include "platform/win_types.h"

// Styles a template carries (Windows values).
constexpr DWORD WS_POPUP = 0x80000000u;
constexpr DWORD WS_CHILD = 0x40000000u;
constexpr DWORD WS_VISIBLE = 0x10000000u;
constexpr DWORD WS_CAPTION = 0x00C00000u;
constexpr DWORD DS_SETFONT = 0x0040;
constexpr DWORD DS_MODALFRAME = 0x0080;
constexpr DWORD DS_CENTER = 0x0800;
constexpr DWORD SS_LEFT = 0x0000;
constexpr DWORD BS_GROUPBOX = 0x0007;

enum class ControlClass { kStatic, kButton };

// One control of a template; positions and sizes in dialog units.
struct DialogControl {
  int id;            // -1 for a control that is never addressed
  ControlClass cls;
  DWORD style;       // e.g. SS_LEFT for kStatic, BS_GROUPBOX for kButton
  short x, y, cx, cy;
  const char* text;  // initial text, "" for none
};

struct DialogTemplate {
  int id;
  DWORD style;       // e.g. WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_CENTER
  short x, y, cx, cy;
  const char* caption;
  const char* font;
  int font_points;
  const DialogControl* controls;
  int control_count;
};

// What an HINSTANCE points at: a module's resources.
struct QbModule {
  const char* name;
  const DialogTemplate* const* dialogs;
  int dialog_count;
};

// The template `id` of `module`, or null.
const DialogTemplate* qb_find_dialog_template(HINSTANCE module, int id);

// A modeless dialog from template `template_id` of `module`; visible at once
// when the template has WS_VISIBLE. Null with GetLastError
// ERROR_RESOURCE_NAME_NOT_FOUND when the module has no such template.
HWND CreateDialogParamA(HINSTANCE module, int template_id, HWND owner, DLGPROC proc, LPARAM param);

// SW_SHOW or SW_HIDE; returns whether the dialog was visible before.
BOOL ShowWindow(HWND window, int command);
BOOL SetDlgItemTextA(HWND dialog, int control_id, LPCSTR text);
// Copies at most max - 1 characters and a terminator; the count copied.
UINT GetDlgItemTextA(HWND dialog, int control_id, LPSTR buffer, int max);
// Paints at once: on Linux there is nothing left to paint, only the log entry.
BOOL RedrawWindow(HWND window, const RECT* area, HRGN region, UINT flags);
BOOL DestroyWindow(HWND window);

bool qb_is_dialog(HWND window);
// The dialog branch of ShowWindow and DestroyWindow; FALSE with
// ERROR_INVALID_WINDOW_HANDLE for a handle that is no dialog.
BOOL qb_dialog_show(HWND dialog, int command);
BOOL qb_dialog_destroy(HWND dialog);

const std::vector<std::string>& qb_dialog_log();
void qb_dialog_log_clear();
