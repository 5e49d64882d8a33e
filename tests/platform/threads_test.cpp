// Threads and synchronisation: queued calls and alertable sleep, events,
// mutexes abandoned by their thread, named mutexes across processes,
// thread handles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/instance_lock.h"
#include "platform/signals.h"
#include "platform/threads.h"
#include "state_home.h"
#include "support/fork_helper.h"

namespace {

// ---- queued calls -------------------------------------------------------------

std::mutex g_calls_lock;
std::vector<std::pair<DWORD, ULONG_PTR>> g_calls;  // (thread, data)

void record_call(ULONG_PTR data) {
  std::lock_guard<std::mutex> g(g_calls_lock);
  g_calls.emplace_back(GetCurrentThreadId(), data);
}

struct Sleeper {
  std::atomic<DWORD> id{0};
  std::atomic<bool> stop{false};
  std::vector<DWORD> results;
};

DWORD WINAPI sleep_alertably(LPVOID p) {
  auto* s = static_cast<Sleeper*>(p);
  s->id = GetCurrentThreadId();
  while (!s->stop) s->results.push_back(SleepEx(INFINITE, TRUE));
  return 0;
}

void stop_sleeper(ULONG_PTR p) { reinterpret_cast<Sleeper*>(p)->stop = true; }

class QueuedCalls : public ::testing::Test {
 protected:
  void SetUp() override { g_calls.clear(); }
};

TEST_F(QueuedCalls, RunInsideSleepExOnTheTargetThreadOnly) {
  Sleeper target, bystander;
  DWORD target_id = 0;
  HANDLE t = CreateThread(nullptr, 0, sleep_alertably, &target, 0, &target_id);
  HANDLE b = CreateThread(nullptr, 0, sleep_alertably, &bystander, 0, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_NE(b, nullptr);
  for (ULONG_PTR i = 1; i <= 50; ++i) ASSERT_NE(QueueUserAPC(record_call, t, i), 0u);
  QueueUserAPC(stop_sleeper, t, reinterpret_cast<ULONG_PTR>(&target));
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(target.id.load(), target_id);
  ASSERT_EQ(g_calls.size(), 50u);
  for (ULONG_PTR i = 0; i < 50; ++i) {
    EXPECT_EQ(g_calls[i].first, target_id);
    EXPECT_EQ(g_calls[i].second, i + 1);
  }
  ASSERT_FALSE(target.results.empty());
  for (DWORD r : target.results) EXPECT_EQ(r, WAIT_IO_COMPLETION);
  EXPECT_TRUE(bystander.results.empty());  // it never woke
  QueueUserAPC(stop_sleeper, b, reinterpret_cast<ULONG_PTR>(&bystander));
  EXPECT_EQ(WaitForSingleObject(b, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(QueueUserAPC(record_call, t, 0), 0u);  // ended: nothing to run it
  CloseHandle(t);
  CloseHandle(b);
}

TEST_F(QueuedCalls, WaitForAnAlertableSleep) {
  HANDLE self = OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId());
  ASSERT_NE(self, nullptr);
  ASSERT_NE(QueueUserAPC(record_call, self, 1), 0u);
  Sleep(5);
  HANDLE set = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(set, 0), WAIT_OBJECT_0);
  CloseHandle(set);
  EXPECT_TRUE(g_calls.empty());  // neither Sleep nor a wait runs them
  EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(SleepEx(10, TRUE), 0u);  // nothing queued: the time runs out
  CloseHandle(self);
}

// ---- events ----------------------------------------------------------------------

TEST(Events, ManualResetStaysSetAutoResetWakesOne) {
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(manual, 30), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  SetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ResetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> woke{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] {
      if (WaitForSingleObject(automatic, 300) == WAIT_OBJECT_0) ++woke;
    });
  Sleep(20);
  SetEvent(automatic);
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(woke.load(), 1);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  CloseHandle(manual);
  CloseHandle(automatic);
  EXPECT_FALSE(SetEvent(manual));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
}

TEST(Events, TokenOutlivesTheHandle) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD token = qb_event_token(e);
  ASSERT_NE(token, 0u);
  HANDLE again = qb_event_from_token(token);
  ASSERT_NE(again, nullptr);
  SetEvent(again);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);  // one event behind both
  CloseHandle(e);
  CloseHandle(again);
  HANDLE third = qb_event_from_token(token);
  EXPECT_NE(third, nullptr);
  CloseHandle(third);
  qb_event_token_close(token);
  EXPECT_EQ(qb_event_from_token(token), nullptr);
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  EXPECT_EQ(qb_event_token(m), 0u);
  CloseHandle(m);
}

// ---- mutexes and threads -------------------------------------------------------------

std::atomic<HANDLE> g_thread_mutex{nullptr};

DWORD WINAPI own_and_leave(LPVOID) {
  g_thread_mutex = CreateMutexA(nullptr, TRUE, nullptr);
  Sleep(20);
  return 42;
}

TEST(Mutexes, OwnerThreadEndingAbandonsIt) {
  g_thread_mutex = nullptr;
  HANDLE t = CreateThread(nullptr, 0, own_and_leave, nullptr, 0, nullptr);
  ASSERT_NE(t, nullptr);
  DWORD code = 0;
  while (g_thread_mutex.load() == nullptr) Sleep(1);
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  HANDLE m = g_thread_mutex;
  EXPECT_FALSE(ReleaseMutex(m));  // not ours
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_ABANDONED);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  // Now this thread owns it, recursively; another thread cannot take it.
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  DWORD other = 0;
  std::thread([&] { other = WaitForSingleObject(m, 20); }).join();
  EXPECT_EQ(other, WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));
  std::thread([&] { other = WaitForSingleObject(m, 1000); }).join();
  EXPECT_EQ(other, WAIT_OBJECT_0);  // released cleanly before
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);  // that thread ended owning it
  ReleaseMutex(m);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // released cleanly this time
  ReleaseMutex(m);
  CloseHandle(m);
  CloseHandle(t);
  EXPECT_FALSE(CloseHandle(t));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Threads, CreationFailureAndVanishedIds) {
  qb_fail_next_thread_create(ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(CreateThread(nullptr, 0, own_and_leave, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  DWORD id = 0;
  std::thread([&] { id = GetCurrentThreadId(); }).join();
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(OpenThread(THREAD_ALL_ACCESS, FALSE, id), nullptr);  // it has ended
}

// ---- named mutexes across processes ---------------------------------------------------

class NamedMutex : public StateHome {};

TEST_F(NamedMutex, HeldByAChildUntilItDies) {
  const char* name = "FFED00C0-test";
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  Child c = fork_child([name](int in, int out) {
    HANDLE m = CreateMutexA(nullptr, TRUE, name);
    if (m == nullptr || GetLastError() != 0) return 1;
    send_byte(out, 'h');
    char b;
    recv_byte(in, &b);
    for (;;) ::pause();  // killed while owning it
  });
  char b;
  ASSERT_EQ(recv_byte(c.from_child, &b), 1);
  HANDLE seen = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(qb_mutex_owner_pid(name), c.pid);
  EXPECT_EQ(WaitForSingleObject(seen, 30), WAIT_TIMEOUT);
  HANDLE second = CreateMutexA(nullptr, TRUE, name);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(ReleaseMutex(second));  // the initial ownership was not granted
  CloseHandle(seen);
  CloseHandle(second);

  ::kill(c.pid, SIGKILL);
  wait_child(c);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  HANDLE mine = CreateMutexA(nullptr, FALSE, name);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(WaitForSingleObject(mine, 1000), WAIT_ABANDONED);  // the child died owning it
  EXPECT_EQ(qb_mutex_owner_pid(name), ::getpid());
  EXPECT_TRUE(ReleaseMutex(mine));
  EXPECT_EQ(qb_mutex_owner_pid(name), 0);
  EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0);
  ReleaseMutex(mine);
  CloseHandle(mine);
}

// The single-instance lock is the same file and the same lock: a program
// taking it and one creating the named mutex see each other.
TEST_F(NamedMutex, InstanceLockIsTheNamedMutexOfTheSameName) {
  const char* name = "Local\\qb/lock";
  EXPECT_EQ(qb_instance_lock_owner(name), 0);
  Child c = fork_child([name](int in, int out) {
    if (qb_instance_lock_take(name) != 1 || qb_instance_lock_take(name) != 1) return 1;  // again: still 1
    send_byte(out, 'h');
    char b;
    recv_byte(in, &b);
    for (;;) ::pause();  // killed holding it
  });
  char b;
  ASSERT_EQ(recv_byte(c.from_child, &b), 1);
  EXPECT_EQ(read_whole_file(state_file("mutex-Local_qb_lock")), std::to_string(c.pid) + "\n");
  EXPECT_EQ(qb_instance_lock_owner(name), c.pid);
  EXPECT_EQ(qb_instance_lock_take(name), 0);
  HANDLE m = CreateMutexA(nullptr, TRUE, name);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(m);
  EXPECT_FALSE(qb_instance_lock_wait_free(name, 0));
  ::kill(c.pid, SIGKILL);
  wait_child(c);
  EXPECT_TRUE(qb_instance_lock_wait_free(name, 10000));
  EXPECT_EQ(qb_instance_lock_take(name), 1);
  EXPECT_EQ(qb_instance_lock_owner(name), ::getpid());
  HANDLE seen = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);  // an old program sees it held
  EXPECT_NE(seen, nullptr);
  CloseHandle(seen);
}  // this process holds the lock (of a folder gone with the test) to its end

}  // namespace
