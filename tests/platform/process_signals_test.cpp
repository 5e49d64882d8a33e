// Starting programs, and signals turned into window messages.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "message_wait.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "platform/threads.h"
#include "platform/window.h"
#include "support/temp_dir.h"

namespace {

DWORD run_to_end(const char* command, DWORD* code) {
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  std::string line = command;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return GetLastError();
  DWORD r = WaitForSingleObject(pi.hProcess, 10000);
  GetExitCodeProcess(pi.hProcess, code);
  EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(pi.hThread));
  EXPECT_TRUE(CloseHandle(pi.hProcess));
  return r;
}

TEST(Processes, RunAndExitCodes) {
  DWORD code = 99;
  EXPECT_EQ(run_to_end("/bin/true", &code), WAIT_OBJECT_0);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(run_to_end("  false  ", &code), WAIT_OBJECT_0);  // found on PATH, blanks trimmed
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(run_to_end("QBDlg-not-installed.exe", &code), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(run_to_end("", &code), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Processes, EnvironmentBlockAndFolder) {
  TempDir tmp;
  std::string script = tmp.file("s.sh");
  ASSERT_TRUE(write_whole_file(script, "#!/bin/sh\necho \"$QB_VAR\" > \"$1\"\npwd >> \"$1\"\n"));
  ASSERT_EQ(::chmod(script.c_str(), 0700), 0);
  std::string line = script + " " + tmp.file("out");
  const char env[] = "QB_VAR=hello\0PATH=/usr/bin:/bin\0";
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, const_cast<char*>(env),
                             tmp.path().c_str(), nullptr, &pi));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  char real[4096];
  ASSERT_NE(::realpath(tmp.path().c_str(), real), nullptr);
  EXPECT_EQ(read_whole_file(tmp.file("out")), "hello\n" + std::string(real) + "\n");
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

LRESULT CALLBACK plain_proc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

class Signals : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = plain_proc;
    wc.lpszClassName = "signalTest";
    RegisterClassA(&wc);
    window_ = CreateWindowExA(0, "signalTest", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(qb_install_signal_handlers(window_));
  }
  void TearDown() override {
    qb_restore_signal_handlers();
    DestroyWindow(window_);
    UnregisterClassA("signalTest", nullptr);
  }
  HWND window_ = nullptr;
};

TEST_F(Signals, InterruptPostsQuit) {
  ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
  MSG msg;
  ASSERT_TRUE(wait_message(&msg));
  EXPECT_EQ(msg.hwnd, window_);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_FALSE(wait_message(&msg, 50));  // one message only
}

TEST_F(Signals, TerminateAndHangUpEndTheSession) {
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  MSG msg;
  ASSERT_TRUE(wait_message(&msg));
  EXPECT_EQ(msg.message, WM_QUERYENDSESSION);
  EXPECT_EQ(msg.lParam, 0);
  ASSERT_TRUE(wait_message(&msg));
  EXPECT_EQ(msg.message, WM_QUIT);

  ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);
  ASSERT_TRUE(wait_message(&msg));
  EXPECT_EQ(msg.message, WM_QUERYENDSESSION);
  EXPECT_EQ(msg.lParam, ENDSESSION_LOGOFF);
  ASSERT_TRUE(wait_message(&msg));
  EXPECT_EQ(msg.message, WM_QUIT);
}

}  // namespace
