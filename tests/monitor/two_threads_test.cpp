// The Monitor's two threads on the tables: events that the driver queues to
// the event thread keep arriving while the main thread closes (backs up and
// compacts) the notes table. The table mutex must keep the two apart.
//
// The probe: every file operation of the engine goes through the FileIo
// table, so a recording table notes which thread made each one. All of the
// main thread's operations belong to the one closeDatabase; when the two
// threads are kept apart, no operation of the event thread falls between
// the main thread's first and last.
#include <pthread.h>

#include <atomic>
#include <mutex>

#include "cache/file_io.h"
#include "monitor/monitor_fixture.h"
#include "monitor/monitor_wnd_proc.h"
#include "upkeep/monitor_tables.h"

namespace {

FileIo gInner;
std::mutex gLogLock;
std::vector<pthread_t> gLog;

void note() {
  pthread_t id = pthread_self();
  std::lock_guard<std::mutex> g(gLogLock);
  gLog.push_back(id);
}

int recClose(int h) { return note(), gInner.close(h); }
int recFlush(int h) { return note(), gInner.flush(h); }
int recCreate(const char* n) { return note(), gInner.create(n); }
int recFileSize(int h, int32_t* s) { return note(), gInner.file_size(h, s); }
int recLock(int h, int32_t o, int32_t l, int t, int d, int m) { return note(), gInner.lock(h, o, l, t, d, m); }
int recOpen(const char* n, int w, int s) { return note(), gInner.open(n, w, s); }
int recReadAt(int h, int32_t o, int32_t l, void* b) { return note(), gInner.read_at(h, o, l, b); }
int recReadPage(int h, int32_t p, int32_t s, void* b) { return note(), gInner.read_page(h, p, s, b); }
int recRemove(const char* n) { return note(), gInner.remove(n); }
int recWriteAt(int h, int32_t o, int32_t l, const void* b) { return note(), gInner.write_at(h, o, l, b); }
int recWritePage(int h, int32_t p, int32_t s, const void* b) { return note(), gInner.write_page(h, p, s, b); }
int recUnlock(int h, int32_t o, int32_t l) { return note(), gInner.unlock(h, o, l); }

// Installed while the event thread is idle in its wait: the event that
// wakes it comes through the queue's lock after this write.
void recordFileOperations() {
  gInner = g_file_io;
  g_file_io.close = recClose;
  g_file_io.flush = recFlush;
  g_file_io.create = recCreate;
  g_file_io.file_size = recFileSize;
  g_file_io.lock = recLock;
  g_file_io.open = recOpen;
  g_file_io.read_at = recReadAt;
  g_file_io.read_page = recReadPage;
  g_file_io.remove = recRemove;
  g_file_io.write_at = recWriteAt;
  g_file_io.write_page = recWritePage;
  g_file_io.unlock = recUnlock;
}

std::string moving(int i) { return "/home/ada/moving/" + std::to_string(i) + ".txt"; }

class TwoThreads : public MonitorTest {};

TEST_F(TwoThreads, CloseNeverInterleavesWithQueuedEvents) {
  inChild([] {
    // Enough notes that the backup and compaction take a while.
    std::vector<std::pair<std::string, std::string>> notes;
    for (int i = 0; i < 1500; ++i)
      notes.emplace_back("/home/ada/notes/" + std::to_string(i) + ".md", "remark " + std::to_string(i));
    notes.emplace_back(moving(0), "on the move");
    seedNotes("qb", notes);
    ASSERT_EQ(profile_write(kProfileSection, kModifiedKey, "1"), 0);

    ASSERT_EQ(MonitorWndProc(MonitorMessage::kCreate, 0), kKeepRunning);
    ASSERT_TRUE(waitHandling());
    recordFileOperations();

    // The driver: one rename after another, each queued once the one
    // before was handled (the queue drained: the event thread waits for
    // the next).
    std::atomic<bool> stop{false};
    std::atomic<int> handled{0};
    std::thread feeder([&] {
      for (int i = 0; !stop.load(); ++i) {
        FileEvent e{OP_RENAME, moving(i), moving(i + 1)};
        eq_push(&e);
        if (eq_drain(10000) != 0) return;
        handled.fetch_add(1);
      }
    });

    ASSERT_TRUE(waitUntil([&] { return handled.load() >= 20; }));
    EXPECT_EQ(MonitorWndProc(MonitorMessage::kEndSession, 0), kKeepRunning);
    const int atClose = handled.load();
    // Events go on being handled (on a closed table) after the close.
    EXPECT_TRUE(waitUntil([&] { return handled.load() >= atClose + 20; }));
    stop.store(true);
    feeder.join();
    g_file_io = gInner;

    std::vector<pthread_t> log;
    {
      std::lock_guard<std::mutex> g(gLogLock);
      log = gLog;
    }
    const pthread_t ui = pthread_self();
    size_t first = log.size(), last = 0;
    for (size_t i = 0; i < log.size(); ++i) {
      if (!pthread_equal(log[i], ui)) continue;
      if (first == log.size()) first = i;
      last = i;
    }
    ASSERT_LT(first, log.size()) << "the close made no file operation";
    EXPECT_GT(first, 0u) << "no event reached the table before the close";
    size_t interleaved = 0;
    for (size_t i = first; i <= last; ++i) interleaved += pthread_equal(log[i], ui) ? 0 : 1;
    EXPECT_EQ(interleaved, 0u) << "of " << last - first + 1 << " operations during the close";

    EXPECT_FALSE(notesTable.isOpen());
    EXPECT_EQ(status(), 0u);
    EXPECT_EQ(modified(), 0u);
    // The compacted table holds the note where the last rename before the
    // close left it, and every other note.
    int moved = 0;
    for (int i = 0; i <= atClose + 1; ++i) moved += storedRemark(moving(i)).has_value() ? 1 : 0;
    EXPECT_EQ(moved, 1);
    EXPECT_EQ(storedRemark("/home/ada/notes/1499.md"), "remark 1499");
    EXPECT_EQ(stopEventThread(), 1);
  });
}

}  // namespace
