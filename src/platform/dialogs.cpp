#include "platform/dialogs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <unistd.h>

#include "platform/files.h"

namespace {

// The dialog behind an HWND. HWND's own struct stays incomplete: the window
// service will have windows of its own under the same handle type.
struct DialogWindow {
  const DialogTemplate* tpl;
  HWND owner;
  DLGPROC proc;
  bool visible;
  std::vector<std::string> texts;  // one per control of the template
};

std::set<DialogWindow*> g_dialogs;
std::vector<std::string> g_log;

HWND handle_of(DialogWindow* d) { return reinterpret_cast<HWND>(d); }

DialogWindow* dialog_of(HWND w) {
  DialogWindow* d = reinterpret_cast<DialogWindow*>(w);
  if (g_dialogs.count(d) == 0) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    return nullptr;
  }
  return d;
}

void say(const char* text) {
  if (::isatty(STDERR_FILENO) == 1) std::fprintf(stderr, "%s\n", text);
}

void show_caption(const DialogWindow* d) {
  say(d->tpl->caption);
  for (int i = 0; i < d->tpl->control_count; ++i) {
    const std::string& t = d->texts[static_cast<size_t>(i)];
    if (d->tpl->controls[i].cls == ControlClass::kStatic && !t.empty()) say(("  " + t).c_str());
  }
}

int control_index(const DialogWindow* d, int id) {
  for (int i = 0; i < d->tpl->control_count; ++i)
    if (d->tpl->controls[i].id == id) return i;
  return -1;
}

}  // namespace

const DialogTemplate* qb_find_dialog_template(HINSTANCE module, int id) {
  if (module == nullptr) return nullptr;
  for (int i = 0; i < module->dialog_count; ++i)
    if (module->dialogs[i]->id == id) return module->dialogs[i];
  return nullptr;
}

HWND CreateDialogParamA(HINSTANCE module, int template_id, HWND owner, DLGPROC proc, LPARAM param) {
  const DialogTemplate* tpl = qb_find_dialog_template(module, template_id);
  if (tpl == nullptr) {
    SetLastError(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    return nullptr;
  }
  DialogWindow* d = new DialogWindow{tpl, owner, proc, false, {}};
  for (int i = 0; i < tpl->control_count; ++i) d->texts.push_back(tpl->controls[i].text);
  g_dialogs.insert(d);
  g_log.push_back("create " + std::to_string(template_id) + ": " + tpl->caption);
  if (proc != nullptr) proc(handle_of(d), WM_INITDIALOG, 0, param);
  if ((tpl->style & WS_VISIBLE) != 0 && g_dialogs.count(d) != 0) qb_dialog_show(handle_of(d), SW_SHOW);
  return g_dialogs.count(d) != 0 ? handle_of(d) : nullptr;  // the procedure may have destroyed it
}

BOOL qb_dialog_show(HWND window, int command) {
  DialogWindow* d = dialog_of(window);
  if (d == nullptr) return FALSE;
  bool was = d->visible;
  d->visible = command != SW_HIDE;
  if (d->visible != was) {
    g_log.push_back(d->visible ? "show" : "hide");
    if (d->visible) show_caption(d);
  }
  return was ? TRUE : FALSE;
}

BOOL SetDlgItemTextA(HWND dialog, int control_id, LPCSTR text) {
  DialogWindow* d = dialog_of(dialog);
  if (d == nullptr) return FALSE;
  int i = control_index(d, control_id);
  if (i < 0) {
    SetLastError(static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
    return FALSE;
  }
  std::string t = text != nullptr ? text : "";
  d->texts[static_cast<size_t>(i)] = t;
  g_log.push_back("text " + std::to_string(control_id) + ": " + t);
  size_t start = t.find_first_not_of("\r\n \t");
  if (d->visible && start != std::string::npos) say(("  " + t.substr(start)).c_str());
  return TRUE;
}

UINT GetDlgItemTextA(HWND dialog, int control_id, LPSTR buffer, int max) {
  DialogWindow* d = dialog_of(dialog);
  int i = d != nullptr ? control_index(d, control_id) : -1;
  if (buffer == nullptr || max <= 0) return 0;
  buffer[0] = '\0';
  if (i < 0) return 0;
  const std::string& t = d->texts[static_cast<size_t>(i)];
  size_t n = std::min(t.size(), static_cast<size_t>(max - 1));
  std::memcpy(buffer, t.data(), n);
  buffer[n] = '\0';
  return static_cast<UINT>(n);
}

BOOL RedrawWindow(HWND window, const RECT*, HRGN, UINT) {
  if (dialog_of(window) == nullptr) return FALSE;
  g_log.push_back("redraw");
  return TRUE;
}

BOOL qb_dialog_destroy(HWND window) {
  DialogWindow* d = dialog_of(window);
  if (d == nullptr) return FALSE;
  g_dialogs.erase(d);  // first, so the procedure cannot destroy it twice
  g_log.push_back("destroy");
  if (d->proc != nullptr) d->proc(window, WM_DESTROY, 0, 0);
  delete d;
  return TRUE;
}

bool qb_is_dialog(HWND window) { return g_dialogs.count(reinterpret_cast<DialogWindow*>(window)) != 0; }

const std::vector<std::string>& qb_dialog_log() { return g_log; }
void qb_dialog_log_clear() { g_log.clear(); }
