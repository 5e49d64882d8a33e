#include "platform/tray.h"

#include <cstring>
#include <mutex>

#include "platform/files.h"
#include "platform/window.h"

namespace {

struct Tray {
  std::mutex lock;
  std::vector<NOTIFYICONDATAA> icons;
  std::vector<std::string> log;
};

Tray& tray() {
  static Tray* t = new Tray;
  return *t;
}

// Icon tokens live above the range of resource ids so that no token is null.
constexpr uintptr_t kIconTokenBase = 0x10000;

int find_locked(Tray& t, const NOTIFYICONDATAA& d) {
  for (size_t i = 0; i < t.icons.size(); ++i)
    if (t.icons[i].hWnd == d.hWnd && t.icons[i].uID == d.uID) return static_cast<int>(i);
  return -1;
}

// Applies the fields that `d.uFlags` names to `to`.
void apply(NOTIFYICONDATAA& to, const NOTIFYICONDATAA& d) {
  if (d.uFlags & NIF_MESSAGE) to.uCallbackMessage = d.uCallbackMessage;
  if (d.uFlags & NIF_ICON) to.hIcon = d.hIcon;
  if (d.uFlags & NIF_TIP) {
    std::memcpy(to.szTip, d.szTip, sizeof to.szTip);
    to.szTip[sizeof to.szTip - 1] = '\0';
  }
  to.uFlags |= d.uFlags;
}

}  // namespace

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
  if (data == nullptr) return FALSE;
  Tray& t = tray();
  std::lock_guard<std::mutex> g(t.lock);
  int at = find_locked(t, *data);
  switch (message) {
    case NIM_ADD: {
      if (at >= 0) return FALSE;
      NOTIFYICONDATAA icon = {};
      icon.cbSize = data->cbSize;
      icon.hWnd = data->hWnd;
      icon.uID = data->uID;
      apply(icon, *data);
      t.icons.push_back(icon);
      t.log.push_back("icon shown");
      return TRUE;
    }
    case NIM_MODIFY:
      if (at < 0) return FALSE;
      apply(t.icons[static_cast<size_t>(at)], *data);
      t.log.push_back("icon changed");
      return TRUE;
    case NIM_DELETE:
      if (at < 0) return FALSE;
      t.icons.erase(t.icons.begin() + at);
      t.log.push_back("icon removed");
      return TRUE;
    default:
      return FALSE;
  }
}

HICON LoadIconA(HINSTANCE, LPCSTR name) {
  if (name == nullptr || !IS_INTRESOURCE(name)) {
    SetLastError(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    return nullptr;
  }
  return reinterpret_cast<HICON>(kIconTokenBase + reinterpret_cast<uintptr_t>(name));
}

int qb_icon_resource(HICON icon) {
  uintptr_t v = reinterpret_cast<uintptr_t>(icon);
  if (v < kIconTokenBase || v > kIconTokenBase + 0xFFFF) return 0;
  return static_cast<int>(v - kIconTokenBase);
}

std::vector<NOTIFYICONDATAA> qb_tray_icons() {
  Tray& t = tray();
  std::lock_guard<std::mutex> g(t.lock);
  return t.icons;
}

std::vector<std::string> qb_tray_log() {
  Tray& t = tray();
  std::lock_guard<std::mutex> g(t.lock);
  return t.log;
}

void qb_tray_log_clear() {
  Tray& t = tray();
  std::lock_guard<std::mutex> g(t.lock);
  t.log.clear();
}

BOOL qb_tray_click(UINT mouse_message) {
  NOTIFYICONDATAA icon;
  {
    Tray& t = tray();
    std::lock_guard<std::mutex> g(t.lock);
    if (t.icons.empty()) return FALSE;
    icon = t.icons.front();
  }
  return PostMessageA(icon.hWnd, icon.uCallbackMessage, icon.uID, static_cast<LPARAM>(mouse_message));
}
