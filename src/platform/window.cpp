#include "platform/window.h"

#include <chrono>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/kernel_objects.h"

namespace {

// What an HWND of a window points at; dialogs have their own struct.
struct Window {
  WNDPROC proc;
  std::shared_ptr<ThreadState> owner;
  std::string class_name;
  std::string title;
  DWORD style;
  bool visible;
  bool destroying;  // WM_DESTROY is running: the handle is going
};

struct WindowClass {
  std::string name;
  WNDPROC proc;
  ATOM atom;
};

// Both guarded by qb_kernel_lock().
struct WindowTables {
  std::unordered_set<Window*> windows;
  std::vector<WindowClass> classes;
  ATOM next_atom = 0xC000;
};

WindowTables& tables() {
  static WindowTables* t = new WindowTables;
  return *t;
}

HWND handle_of(Window* w) { return reinterpret_cast<HWND>(w); }

// Lock held: the live window behind `h`, or null.
Window* window_locked(HWND h) {
  Window* w = reinterpret_cast<Window*>(h);
  return tables().windows.count(w) != 0 ? w : nullptr;
}

BOOL fail(LONG error) {
  SetLastError(static_cast<DWORD>(error));
  return FALSE;
}

bool same_name(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

DWORD now_ms() {
  using namespace std::chrono;
  return static_cast<DWORD>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Lock held: appends to `t`'s queue and wakes its waits.
void post_locked(ThreadState* t, HWND h, UINT message, WPARAM wparam, LPARAM lparam) {
  t->messages.push_back(MSG{h, message, wparam, lparam, now_ms(), POINT{0, 0}});
  qb_kernel_cv().notify_all();
}

bool matches(const MSG& m, HWND window, UINT min, UINT max) {
  if (m.message == WM_QUIT) return true;
  if (window != nullptr && m.hwnd != window) return false;
  if (min == 0 && max == 0) return true;
  return m.message >= min && m.message <= max;
}

// Lock held: takes (or with !remove, copies) the first message for the
// filter, WM_QUIT from PostQuitMessage after every posted one. 1 found.
int take_locked(ThreadState* self, LPMSG msg, HWND window, UINT min, UINT max, bool remove) {
  for (auto it = self->messages.begin(); it != self->messages.end(); ++it) {
    if (!matches(*it, window, min, max)) continue;
    *msg = *it;
    if (remove) self->messages.erase(it);
    return 1;
  }
  if (self->quit_pending) {
    *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(self->quit_code), 0, now_ms(), POINT{0, 0}};
    if (remove) self->quit_pending = false;
    return 1;
  }
  return 0;
}

// Lock held: -1 when `window` is neither null nor a window of `self`.
int check_filter_locked(ThreadState* self, HWND window) {
  if (window == nullptr) return 1;
  Window* w = window_locked(window);
  if (w == nullptr || w->owner.get() != self) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    return -1;
  }
  return 1;
}

}  // namespace

ATOM RegisterClassA(const WNDCLASSA* wc) {
  if (wc == nullptr || wc->lpszClassName == nullptr || wc->lpfnWndProc == nullptr) {
    fail(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> g(qb_kernel_lock());
  WindowTables& t = tables();
  for (const WindowClass& c : t.classes) {
    if (same_name(c.name, wc->lpszClassName)) {
      fail(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  }
  ATOM atom = t.next_atom++;
  t.classes.push_back(WindowClass{wc->lpszClassName, wc->lpfnWndProc, atom});
  return atom;
}

BOOL UnregisterClassA(LPCSTR class_name, HINSTANCE) {
  if (class_name == nullptr) return fail(ERROR_CANNOT_FIND_WND_CLASS);
  std::lock_guard<std::mutex> g(qb_kernel_lock());
  std::vector<WindowClass>& classes = tables().classes;
  for (size_t i = 0; i < classes.size(); ++i) {
    if (same_name(classes[i].name, class_name)) {
      classes.erase(classes.begin() + static_cast<long>(i));
      return TRUE;
    }
  }
  return fail(ERROR_CANNOT_FIND_WND_CLASS);
}

HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR window_name, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  const std::shared_ptr<ThreadState>& self = qb_current_thread();
  Window* w = nullptr;
  {
    std::lock_guard<std::mutex> g(qb_kernel_lock());
    for (const WindowClass& c : tables().classes) {
      if (class_name != nullptr && same_name(c.name, class_name)) {
        w = new Window{c.proc, self, c.name, window_name != nullptr ? window_name : "", style,
                       (style & WS_VISIBLE) != 0, false};
        break;
      }
    }
    if (w == nullptr) {
      fail(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    tables().windows.insert(w);
  }
  CREATESTRUCTA cs = {param,  instance, menu, parent, height, width, y, x, static_cast<LONG>(style),
                      window_name, class_name, ex_style};
  HWND h = handle_of(w);
  if (w->proc(h, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(h);
    return nullptr;
  }
  return IsWindow(h) ? h : nullptr;  // the procedure may have destroyed it
}

BOOL IsWindow(HWND window) {
  {
    std::lock_guard<std::mutex> g(qb_kernel_lock());
    Window* w = window_locked(window);
    if (w != nullptr) return w->destroying ? FALSE : TRUE;
  }
  return qb_is_dialog(window) ? TRUE : FALSE;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_QUERYENDSESSION:
      return 1;
    default:
      return 0;
  }
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  std::shared_ptr<ThreadState> self = window == nullptr ? qb_current_thread() : nullptr;
  std::lock_guard<std::mutex> g(qb_kernel_lock());
  if (window == nullptr) {
    post_locked(self.get(), nullptr, message, wparam, lparam);
    return TRUE;
  }
  Window* w = window_locked(window);
  if (w == nullptr || w->destroying || w->owner->ended) return fail(ERROR_INVALID_WINDOW_HANDLE);
  post_locked(w->owner.get(), window, message, wparam, lparam);
  return TRUE;
}

BOOL PostThreadMessageA(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  std::lock_guard<std::mutex> g(qb_kernel_lock());
  std::shared_ptr<ThreadState> t = qb_thread_by_id_locked(thread_id);
  if (t == nullptr) return fail(ERROR_INVALID_THREAD_ID);
  post_locked(t.get(), nullptr, message, wparam, lparam);
  return TRUE;  // `t` is not the last reference: the thread still runs (invariant 2)
}

void PostQuitMessage(int exit_code) {
  const std::shared_ptr<ThreadState>& self = qb_current_thread();
  std::lock_guard<std::mutex> g(qb_kernel_lock());
  self->quit_pending = true;
  self->quit_code = exit_code;
  qb_kernel_cv().notify_all();
}

BOOL GetMessageA(LPMSG msg, HWND window, UINT min, UINT max) {
  if (msg == nullptr) {
    fail(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const std::shared_ptr<ThreadState>& self = qb_current_thread();
  std::unique_lock<std::mutex> lk(qb_kernel_lock());
  if (check_filter_locked(self.get(), window) != 1) return -1;
  while (take_locked(self.get(), msg, window, min, max, true) == 0) {
    qb_kernel_cv().wait(lk);
    // The filter window may have been destroyed meanwhile.
    if (check_filter_locked(self.get(), window) != 1) return -1;
  }
  return msg->message == WM_QUIT ? 0 : 1;
}

BOOL PeekMessageA(LPMSG msg, HWND window, UINT min, UINT max, UINT remove) {
  if (msg == nullptr) return fail(ERROR_INVALID_PARAMETER);
  const std::shared_ptr<ThreadState>& self = qb_current_thread();
  std::lock_guard<std::mutex> g(qb_kernel_lock());
  if (check_filter_locked(self.get(), window) != 1) return FALSE;
  return take_locked(self.get(), msg, window, min, max, (remove & PM_REMOVE) != 0) == 1 ? TRUE : FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> g(qb_kernel_lock());
    Window* w = window_locked(msg->hwnd);
    if (w != nullptr) proc = w->proc;
  }
  if (proc == nullptr) {
    fail(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);  // invariant 1
}

BOOL ShowWindow(HWND window, int command) {
  {
    std::lock_guard<std::mutex> g(qb_kernel_lock());
    Window* w = window_locked(window);
    if (w != nullptr) {
      bool was = w->visible;
      w->visible = command != SW_HIDE;
      return was ? TRUE : FALSE;
    }
  }
  return qb_dialog_show(window, command);
}

BOOL DestroyWindow(HWND window) {
  const std::shared_ptr<ThreadState>& self = qb_current_thread();
  Window* w;
  {
    std::lock_guard<std::mutex> g(qb_kernel_lock());
    w = window_locked(window);
    if (w != nullptr && w->destroying) return fail(ERROR_INVALID_WINDOW_HANDLE);
    if (w != nullptr && w->owner != self) return fail(ERROR_ACCESS_DENIED);
    if (w != nullptr) w->destroying = true;
  }
  if (w == nullptr) return qb_dialog_destroy(window);
  w->proc(window, WM_DESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> g(qb_kernel_lock());
    tables().windows.erase(w);
    std::deque<MSG>& q = w->owner->messages;
    for (auto it = q.begin(); it != q.end();) it = it->hwnd == window ? q.erase(it) : it + 1;
  }
  delete w;  // unlocked: it may hold the last reference to an ended thread's state
  return TRUE;
}
