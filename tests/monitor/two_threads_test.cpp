// The Monitor's two threads on the tables: events that the driver queues to
// the event thread keep arriving while the main thread closes (backs up and
// compacts) the notes table. The table mutex must keep the two apart.
//
// The probe: every file operation of the engine goes through the FileIo
// table, so the fault-injecting one, told of each call, notes which thread
// made it. All of the main thread's operations belong to the one
// closeDatabase; when the two threads are kept apart, no operation of the
// event thread falls between the main thread's first and last.
#include <pthread.h>

#include <atomic>
#include <mutex>

#include "monitor/monitor_fixture.h"
#include "monitor/monitor_wnd_proc.h"
#include "support/fault_io.h"
#include "upkeep/monitor_tables.h"

namespace {

std::mutex gLogLock;
std::vector<pthread_t> gLog;

void note(IoKind) {
  pthread_t id = pthread_self();
  std::lock_guard<std::mutex> g(gLogLock);
  gLog.push_back(id);
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
    // Installed while the event thread is idle in its wait: the event that
    // wakes it comes through the queue's lock after this.
    std::optional<FaultIo> recording(std::in_place);
    recording->plan().observe = note;

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
    recording.reset();

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
