// Windows and message queues: window classes, windows that are never drawn,
// and the posted-message queues that drive the Monitor's user-interface
// thread. Callers: anything above the engine.
//
// Queues are per thread, as on Windows. A window belongs to the thread that
// created it; messages posted to it, from any thread, go to that thread's
// queue, and that thread takes them out with GetMessageA and runs the window
// procedure with DispatchMessageA. PostMessageA with a null window posts to
// the calling thread's own queue. PostQuitMessage marks the calling thread's
// queue: GetMessageA gives WM_QUIT once the messages posted before and after
// it are taken (the Windows order); a WM_QUIT posted with PostMessageA is an
// ordinary message and comes in turn. GetMessageA always takes WM_QUIT,
// whatever its filter.
//
// Messages posted to a window that is destroyed before they are taken are
// dropped with it. A thread that ends drops its queue, and posting to a
// window of an ended thread fails (ERROR_INVALID_WINDOW_HANDLE).
//
// CreateWindowExA runs the class's window procedure with WM_CREATE (lParam:
// a CREATESTRUCTA) before it returns; -1 from it destroys the window and
// CreateWindowExA returns null. DestroyWindow sends WM_DESTROY first.
// Nothing is ever drawn: the style, position and size are kept and ignored.
//
// HWND is one type for windows and dialogs (platform/dialogs.h):
// ShowWindow and DestroyWindow serve both, IsWindow knows both.
//
// Threads: PostMessageA, PostThreadMessageA and IsWindow of a window from
// any thread; the rest, and IsWindow of a dialog, on the thread that owns
// the window (the window procedure runs on the caller's thread).
#pragma once

#include "platform/win_types.h"

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
// WM_DESTROY (2) is in win_types.h, shared with dialogs.
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUERYENDSESSION = 0x0011;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ENDSESSION = 0x0016;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_USER = 0x0400;

// WM_QUERYENDSESSION's lParam: 0 for a shutdown, this for a log-off.
constexpr LPARAM ENDSESSION_LOGOFF = static_cast<LPARAM>(0x80000000u);

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;  // ms of a monotonic clock when posted
  POINT pt;    // always 0, 0
};
typedef MSG* LPMSG;

struct WNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
};

struct CREATESTRUCTA {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
};

// Registers a class by name (names compare ignoring the case of A to Z).
// Its atom, or 0 with ERROR_CLASS_ALREADY_EXISTS, or ERROR_INVALID_PARAMETER
// for a missing name or procedure.
ATOM RegisterClassA(const WNDCLASSA* wc);
// Forgets a class; FALSE with ERROR_CANNOT_FIND_WND_CLASS when unknown.
// Windows of the class keep their procedure.
BOOL UnregisterClassA(LPCSTR class_name, HINSTANCE instance);

// Null with ERROR_CANNOT_FIND_WND_CLASS for an unknown class, or when the
// procedure answers WM_CREATE with -1 (GetLastError then says 0 unless the
// procedure set it).
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR window_name, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL IsWindow(HWND window);

// What a window procedure passes on: WM_CLOSE destroys the window,
// WM_QUERYENDSESSION answers 1 (agree), everything else 0.
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Posts a message with no window to the queue of the running thread
// `thread_id`; FALSE with ERROR_INVALID_THREAD_ID when there is none.
BOOL PostThreadMessageA(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int exit_code);

// Waits for a message of the calling thread: for `window` (null: any window
// of the thread, and thread messages) with a number in [min, max] (both 0:
// every number). 1 for a message, 0 for WM_QUIT (its wParam is the exit
// code), -1 for a null `msg` (ERROR_INVALID_PARAMETER) or a `window` that is
// not a window of this thread (ERROR_INVALID_WINDOW_HANDLE).
BOOL GetMessageA(LPMSG msg, HWND window, UINT min, UINT max);
// As GetMessageA without waiting: TRUE when a message was there (and taken
// with PM_REMOVE), else FALSE.
BOOL PeekMessageA(LPMSG msg, HWND window, UINT min, UINT max, UINT remove);
// Runs the window procedure of msg->hwnd and returns its result; 0 for a
// thread message or a window that no longer exists.
LRESULT DispatchMessageA(const MSG* msg);

// Also in platform/dialogs.h; these serve windows and dialogs alike.
// SW_SHOW or SW_HIDE; returns whether the window was visible before.
BOOL ShowWindow(HWND window, int command);
BOOL DestroyWindow(HWND window);
