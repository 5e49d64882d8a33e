// The device table, the kernel module's exports, and the scripted driver
// driven the way the Monitor's event thread drives the real one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/device.h"
#include "platform/module.h"
#include "platform/state_dir.h"
#include "platform/threads.h"
#include "state_home.h"
#include "support/scripted_driver.h"

namespace {

// ---- the device table ------------------------------------------------------------

struct Counting {
  int opens = 0, controls = 0, closes = 0;
  DWORD open_error = 0;
};

BOOL count_open(void* self) {
  auto* c = static_cast<Counting*>(self);
  if (c->open_error != 0) {
    SetLastError(c->open_error);
    return FALSE;
  }
  ++c->opens;
  return TRUE;
}

BOOL echo_control(void* self, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
  ++static_cast<Counting*>(self)->controls;
  if (code == 1) return FALSE;  // fails without saying why
  DWORD n = in_size < out_size ? in_size : out_size;
  std::memcpy(out, in, n);
  *returned = n;
  return TRUE;
}

void count_close(void* self) { ++static_cast<Counting*>(self)->closes; }

TEST(DeviceTable, OpenControlClose) {
  Counting c;
  QbDevice d = {count_open, echo_control, count_close, &c};
  qb_register_device("\\\\.\\ECHO", &d);
  HANDLE h = CreateFileA("\\\\.\\echo", 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(c.opens, 1);
  char out[8] = {};
  DWORD got = 99;
  EXPECT_TRUE(DeviceIoControl(h, 2, const_cast<char*>("abc"), 3, out, sizeof out, &got, nullptr));
  EXPECT_EQ(got, 3u);
  EXPECT_STREQ(out, "abc");
  EXPECT_FALSE(DeviceIoControl(h, 1, nullptr, 0, nullptr, 0, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(c.closes, 0);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(c.closes, 1);
  EXPECT_FALSE(DeviceIoControl(h, 2, nullptr, 0, nullptr, 0, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(c.controls, 2);

  c.open_error = 1234;
  EXPECT_EQ(CreateFileA("\\\\.\\ECHO", 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 1234u);
  qb_register_device("\\\\.\\ECHO", nullptr);
  EXPECT_EQ(CreateFileA("\\\\.\\ECHO", 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(c.closes, 1);
}

TEST(DeviceTable, UnknownDevice) {
  EXPECT_EQ(CreateFileA("\\\\.\\QBSYS.VXD", 0, 0, nullptr, 0, 0x44000000u, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CTL_CODE(FILE_DEVICE_UNKNOWN, 5, METHOD_NEITHER, FILE_ANY_ACCESS), 0x220017u);
}

// ---- the kernel module -------------------------------------------------------------

class KernelModule : public StateHome {};

TEST_F(KernelModule, ExportsFoundByName) {
  char dir[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(dir, sizeof dir), 0u);
  HMODULE k = LoadLibraryA((std::string(dir) + "\\kernel32.dll").c_str());
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(GetModuleHandleA("KERNEL32.DLL"), k);
  EXPECT_EQ(LoadLibraryA("user32.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(GetProcAddress(k, "openvxdhandle"), nullptr);  // export names are exact
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  auto open_vxd = reinterpret_cast<DWORD (*)(HANDLE)>(GetProcAddress(k, "OpenVxDHandle"));
  ASSERT_NE(open_vxd, nullptr);
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD token = open_vxd(e);
  HANDLE seen = qb_event_from_token(token);
  ASSERT_NE(seen, nullptr);
  SetEvent(seen);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  CloseHandle(seen);
  CloseHandle(e);
  qb_event_token_close(token);

  auto rsp = reinterpret_cast<DWORD (*)(DWORD, DWORD)>(GetProcAddress(k, "RegisterServiceProcess"));
  ASSERT_NE(rsp, nullptr);
  qb_service_process_reset();
  EXPECT_EQ(qb_service_process_type(), -1);
  EXPECT_EQ(rsp(0, RSP_SIMPLE_SERVICE), 1u);
  EXPECT_EQ(qb_service_process_type(), 1);
  EXPECT_TRUE(FreeLibrary(k));
}

// ---- the scripted driver, driven as the event thread drives the driver --------------

ScriptedDriver* g_driver = nullptr;
std::atomic<bool> g_running{true};
HANDLE g_device = INVALID_HANDLE_VALUE;
std::atomic<int> g_handled{0};
std::atomic<DWORD> g_handler_thread{0};

void handle_event(ULONG_PTR address) {
  auto* record = reinterpret_cast<uint8_t*>(address);
  g_handler_thread = GetCurrentThreadId();
  ++g_handled;
  if (ScriptedDriver::operation_of(record) == kDriverOpStop)
    g_running = false;
  else
    std::memset(record + 512, 0, 4);
  void* p = record;
  DeviceIoControl(g_device, kDriverAcknowledge, &p, sizeof p, nullptr, 0, nullptr, nullptr);
}

std::atomic<HANDLE> g_mutex{nullptr};

DWORD WINAPI event_thread(LPVOID event) {
  g_mutex = CreateMutexA(nullptr, TRUE, nullptr);
  g_device = CreateFileA(ScriptedDriver::kDeviceName, 0, 0, nullptr, 0, 0x44000000u, nullptr);
  if (g_device == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD returned;
  void* handler = reinterpret_cast<void*>(&handle_event);
  if (!DeviceIoControl(g_device, kDriverRegisterHandler, &handler, sizeof handler, nullptr, 0, &returned, nullptr))
    return GetLastError();
  DWORD token = qb_event_token(static_cast<HANDLE>(event));
  if (!DeviceIoControl(g_device, kDriverRegisterEvent, &token, 4, nullptr, 0, &returned, nullptr))
    return GetLastError();
  while (g_running) SleepEx(INFINITE, TRUE);
  CloseHandle(g_device);
  qb_event_token_close(token);
  return 1;
}

class DriverProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    g_driver = &driver_;
    g_running = true;
    g_handled = 0;
    g_mutex = nullptr;
    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override { CloseHandle(event_); }
  HANDLE start() {
    HANDLE t = CreateThread(nullptr, 0, event_thread, event_, 0, &thread_id_);
    while (g_mutex.load() == nullptr) Sleep(1);
    return t;
  }
  ScriptedDriver driver_;
  HANDLE event_ = nullptr;
  DWORD thread_id_ = 0;
};

TEST_F(DriverProtocol, EventsThenStopEndTheThread) {
  HANDLE t = start();
  for (int i = 0; i < 100 && driver_.event_token() == 0; ++i) Sleep(5);
  ASSERT_NE(driver_.event_token(), 0u);
  EXPECT_EQ(driver_.handler(), reinterpret_cast<ULONG_PTR>(&handle_event));
  EXPECT_EQ(driver_.handler_thread(), thread_id_);

  uint8_t* r = driver_.deliver_apc(2, "/a/old", "/a/new");
  ASSERT_NE(r, nullptr);
  ASSERT_TRUE(driver_.wait_acknowledged(r));
  EXPECT_EQ(ScriptedDriver::operation_of(r), 0);
  EXPECT_EQ(ScriptedDriver::target_of(r), "/a/new");
  EXPECT_EQ(g_handler_thread.load(), thread_id_);
  EXPECT_TRUE(driver_.set_event());
  EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_OBJECT_0);

  // The user-interface side: stop, then wait for the thread's mutex.
  HANDLE ui_side = CreateFileA(ScriptedDriver::kDeviceName, 0, 0, nullptr, 0, 0, nullptr);
  EXPECT_TRUE(DeviceIoControl(ui_side, kDriverStop, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(WaitForSingleObject(g_mutex, 5000), WAIT_ABANDONED);
  EXPECT_EQ(g_handled.load(), 2);
  ASSERT_TRUE(driver_.wait_acknowledgements(2));
  DWORD code = 0;
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 1u);
  CloseHandle(ui_side);
  EXPECT_TRUE(driver_.wait_closed());
  std::vector<DWORD> want = {kDriverRegisterHandler, kDriverRegisterEvent, kDriverAcknowledge, kDriverStop,
                             kDriverAcknowledge};
  EXPECT_EQ(driver_.codes(), want);
  ReleaseMutex(g_mutex);
  CloseHandle(g_mutex);
  CloseHandle(t);
}

TEST_F(DriverProtocol, ScriptedFailures) {
  driver_.fail_open(ERROR_ACCESS_DENIED);
  HANDLE t = start();
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(driver_.calls().empty());
  CloseHandle(t);
  CloseHandle(g_mutex);

  g_mutex = nullptr;
  driver_.fail_control(kDriverRegisterEvent, 1167);
  t = start();
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 1167u);
  std::vector<DriverCall> calls = driver_.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[0].succeeded);
  EXPECT_EQ(calls[0].input.size(), sizeof(void*));
  EXPECT_FALSE(calls[1].succeeded);
  EXPECT_EQ(driver_.deliver_message(2, "a", "b"), nullptr);  // no window registered
  CloseHandle(g_device);  // left open by the failed start, as the Monitor leaves it
  EXPECT_TRUE(driver_.wait_closed());
  CloseHandle(t);
  CloseHandle(g_mutex);
}

}  // namespace
