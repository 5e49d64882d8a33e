#include "platform/device.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/files.h"
#include "platform/kernel_objects.h"

namespace {

std::string folded(const char* s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

struct DeviceTable {
  std::mutex lock;
  std::map<std::string, QbDevice> devices;  // by folded name
};

DeviceTable& table() {
  static DeviceTable* t = new DeviceTable;
  return *t;
}

// One open of a device; closes it when the last reference goes.
struct DeviceObject : KernelObject {
  explicit DeviceObject(const QbDevice& d) : KernelObject(ObjectKind::kDevice), dev(d) {}
  ~DeviceObject() override {
    if (dev.close != nullptr) dev.close(dev.self);
  }
  const QbDevice dev;
};

BOOL fail_with(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

void qb_register_device(const char* name, const QbDevice* device) {
  DeviceTable& t = table();
  std::lock_guard<std::mutex> g(t.lock);
  if (device == nullptr)
    t.devices.erase(folded(name));
  else
    t.devices[folded(name)] = *device;
}

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  QbDevice dev = {};
  bool found = false;
  if (name != nullptr) {
    DeviceTable& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.devices.find(folded(name));
    if (it != t.devices.end()) {
      dev = it->second;
      found = true;
    }
  }
  if (!found || dev.control == nullptr) {
    SetLastError(static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(0);
  if (dev.open != nullptr && !dev.open(dev.self)) {
    if (GetLastError() == 0) SetLastError(static_cast<DWORD>(ERROR_GEN_FAILURE));
    return INVALID_HANDLE_VALUE;
  }
  return qb_handle_open(std::make_shared<DeviceObject>(dev));
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                     LPDWORD returned, LPOVERLAPPED overlapped) {
  DWORD ignored = 0;
  if (returned == nullptr) returned = &ignored;
  *returned = 0;
  if (overlapped != nullptr) return fail_with(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  std::shared_ptr<DeviceObject> d = qb_handle_as<DeviceObject>(device, ObjectKind::kDevice);
  if (d == nullptr) return FALSE;
  SetLastError(0);
  if (d->dev.control(d->dev.self, code, in, in_size, out, out_size, returned)) return TRUE;
  if (GetLastError() == 0) SetLastError(static_cast<DWORD>(ERROR_GEN_FAILURE));
  return FALSE;  // `d` may be the last reference: its close runs here, unlocked
}
