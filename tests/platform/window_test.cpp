// Windows and message queues: WM_CREATE inside creation, order across
// threads, WM_QUIT, per-thread queues and windows that go away.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dialogs.h"
#include "platform/threads.h"
#include "platform/window.h"
#include "message_wait.h"

namespace {

struct Seen {
  HWND hwnd;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  DWORD thread;
};
std::vector<Seen> g_seen;
std::atomic<LRESULT> g_create_answer{0};

LRESULT CALLBACK record_proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_CREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
    g_seen.push_back({w, m, 0, reinterpret_cast<LPARAM>(cs->lpCreateParams), GetCurrentThreadId()});
    return g_create_answer.load();
  }
  g_seen.push_back({w, m, wp, lp, GetCurrentThreadId()});
  return DefWindowProcA(w, m, wp, lp);
}

class Windows : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = record_proc;
    wc.lpszClassName = "testClass";
    ASSERT_NE(RegisterClassA(&wc), 0);
  }
  static void TearDownTestSuite() { UnregisterClassA("testClass", nullptr); }
  void SetUp() override {
    g_seen.clear();
    g_create_answer = 0;
  }
  HWND make(LPVOID param = nullptr) {
    return CreateWindowExA(0, "TESTCLASS", "t", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, param);
  }
};

TEST_F(Windows, CreateRunsWmCreateBeforeReturning) {
  int marker = 0;
  HWND w = make(&marker);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].message, WM_CREATE);
  EXPECT_EQ(g_seen[0].hwnd, w);
  EXPECT_EQ(g_seen[0].lparam, reinterpret_cast<LPARAM>(&marker));
  EXPECT_TRUE(DestroyWindow(w));
  EXPECT_EQ(g_seen.back().message, WM_DESTROY);
  EXPECT_FALSE(IsWindow(w));
}

TEST_F(Windows, CreateRefusedByTheProcedure) {
  g_create_answer = -1;
  EXPECT_EQ(make(), nullptr);
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[1].message, WM_DESTROY);
  WNDCLASSA dup = {};
  dup.lpfnWndProc = record_proc;
  dup.lpszClassName = "TestClass";
  EXPECT_EQ(RegisterClassA(&dup), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
  EXPECT_EQ(CreateWindowExA(0, "noSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

TEST_F(Windows, PostedFromAnotherThreadInOrderThenQuit) {
  HWND w = make();
  g_seen.clear();
  std::thread poster([w] {
    for (UINT i = 0; i < 200; ++i) PostMessageA(w, WM_USER + i, i, -static_cast<LPARAM>(i));
    PostMessageA(w, WM_QUIT, 7, 0);
    PostMessageA(w, WM_USER + 999, 0, 0);  // after the quit: never taken
  });
  MSG msg;
  BOOL r;
  while ((r = GetMessageA(&msg, nullptr, 0, 0)) > 0) DispatchMessageA(&msg);
  poster.join();
  EXPECT_EQ(r, 0);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  ASSERT_EQ(g_seen.size(), 200u);
  for (UINT i = 0; i < 200; ++i) {
    EXPECT_EQ(g_seen[i].message, WM_USER + i);
    EXPECT_EQ(g_seen[i].lparam, -static_cast<LPARAM>(i));
  }
  DestroyWindow(w);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // its last message went with it
}

TEST_F(Windows, PostQuitMessageWaitsForPostedMessages) {
  HWND w = make();
  PostQuitMessage(3);
  PostMessageA(w, WM_USER, 0, 0);
  PostMessageA(nullptr, WM_USER + 1, 0, 0);  // a thread message
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
  EXPECT_EQ(msg.message, WM_USER);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
  EXPECT_EQ(msg.message, WM_USER + 1u);
  EXPECT_EQ(msg.hwnd, nullptr);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));  // fail, rather than hang, when lost
  ASSERT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
  EXPECT_EQ(msg.wParam, 3u);
  DestroyWindow(w);
}

TEST_F(Windows, MessagesRunOnTheCreatingThread) {
  std::atomic<HWND> w{nullptr};
  std::atomic<DWORD> loop_thread{0};
  std::atomic<int> loop_result{99};
  std::thread ui([&] {
    loop_thread = GetCurrentThreadId();
    w = make();
    MSG msg;
    int r;
    while ((r = GetMessageA(&msg, nullptr, 0, 0)) > 0) DispatchMessageA(&msg);
    loop_result = r;
    DestroyWindow(w);
  });
  while (w.load() == nullptr) Sleep(1);
  MSG mine;
  EXPECT_EQ(GetMessageA(&mine, w.load(), 0, 0), -1);  // not a window of this thread
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_TRUE(PostMessageA(w, WM_USER + 5, 0, 0));
  EXPECT_TRUE(PostMessageA(w, WM_QUIT, 0, 0));
  ui.join();
  EXPECT_EQ(loop_result.load(), 0);
  ASSERT_GE(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[1].message, WM_USER + 5u);
  EXPECT_EQ(g_seen[1].thread, loop_thread.load());
  EXPECT_FALSE(PeekMessageA(&mine, nullptr, 0, 0, PM_REMOVE));  // nothing reached this thread
  EXPECT_FALSE(PostMessageA(w, WM_USER, 0, 0));                 // destroyed
}

TEST_F(Windows, DefWindowProcCloseDestroysAndAgreesToEndSession) {
  HWND w = make();
  EXPECT_EQ(DefWindowProcA(w, WM_QUERYENDSESSION, 0, 0), 1);
  EXPECT_FALSE(ShowWindow(w, SW_SHOW));
  EXPECT_TRUE(ShowWindow(w, SW_HIDE));
  PostMessageA(w, WM_CLOSE, 0, 0);
  MSG msg;
  ASSERT_TRUE(wait_message(&msg));
  DispatchMessageA(&msg);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(DestroyWindow(w));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(Windows, DialogsShareShowAndDestroy) {
  const DialogTemplate tpl = {9, WS_POPUP, 0, 0, 10, 10, "D", "F", 8, nullptr, 0};
  const DialogTemplate* const all[] = {&tpl};
  QbModule module = {"m", all, 1};
  HWND d = CreateDialogParamA(&module, 9, nullptr, nullptr, 0);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(IsWindow(d));
  EXPECT_FALSE(ShowWindow(d, SW_SHOW));
  EXPECT_TRUE(ShowWindow(d, SW_SHOW));
  EXPECT_TRUE(DestroyWindow(d));
  EXPECT_FALSE(IsWindow(d));
}

}  // namespace
