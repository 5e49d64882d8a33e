// The folder walk and groups of queued events under the table's write lock:
// other processes never see a walk half done, the changes commit once at
// the end, and the lock is given back whatever fails on the way.
//
// Another process is stood in for by a second open of the index file: its
// byte-range locks are open-file-description locks, which conflict with
// the engine's own open even inside this process. The engine's progress is
// watched by wrapping the FileIo slot that reads the data file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "btree/index_file.h"
#include "cache/bytes.h"
#include "cache/file_io.h"
#include "engine/table.h"
#include "support/fault_io.h"
#include "tracking/walk_folder.h"
#include "tracking_fixture.h"
#include "upkeep/monitor_tables.h"

namespace {

constexpr int32_t kHeaderSize = 36;  // the index file's header; lock bytes follow up to the page size
constexpr int32_t kChangeCountAt = 28;

// A second open of one of the notes table's files (the index file unless
// named otherwise).
class OtherOpen {
 public:
  explicit OtherOpen(const char* name = "qb.idx") {
    char path[kPathBuffer];
    if (systemFilePath(path, name) == 1) fd_ = ::open(path, O_RDWR | O_CLOEXEC);
  }
  ~OtherOpen() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // Whether some other open holds a lock on a byte of [from, from + length).
  bool lockedElsewhere(int32_t from, int32_t length) const {
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    lk.l_start = from;
    lk.l_len = length;
    if (::fcntl(fd_, F_OFD_GETLK, &lk) != 0) return false;
    return lk.l_type != F_UNLCK;
  }
  // The writer's lock covers every lock byte; a reader holds only one.
  bool writerHeld() const { return lockedElsewhere(kHeaderSize + 1, 1) && lockedElsewhere(kNotesPageSize - 1, 1); }
  bool anyLockHeld() const { return lockedElsewhere(kHeaderSize, kNotesPageSize - kHeaderSize); }
  // Locks or unlocks [from, from + length) at once, without retries.
  bool lock(int32_t from, int32_t length, bool on = true) const {
    struct flock lk {};
    lk.l_type = on ? F_WRLCK : F_UNLCK;
    lk.l_whence = SEEK_SET;
    lk.l_start = from;
    lk.l_len = length;
    return ::fcntl(fd_, F_OFD_SETLK, &lk) == 0;
  }
  // Takes the last lock byte, as another process's writer would hold it.
  bool holdLastByte() const { return lock(kNotesPageSize - 1, 1); }
  bool takeWriterRange() const { return lock(kHeaderSize, kNotesPageSize - kHeaderSize); }

  // The committed change count, as other processes read it.
  int32_t changeCount() const {
    uint8_t raw[4] = {};
    if (::pread(fd_, raw, sizeof raw, kChangeCountAt) != static_cast<ssize_t>(sizeof raw)) return -1;
    return get_i32(raw);
  }

 private:
  int fd_ = -1;
};

// While installed, runs `onRead` before every read the engine makes from
// the notes table's data file, and `onLock` (with the tries asked for)
// before every lock it tries there (a record lock).
class DataFileHook {
 public:
  explicit DataFileHook(std::function<void()> onRead, std::function<void(int)> onLock = nullptr) {
    char path[kPathBuffer];
    struct stat st {};
    if (systemFilePath(path, "qb.db") == 1 && ::stat(path, &st) == 0) inode_ = st.st_ino;
    onRead_ = std::move(onRead);
    onLock_ = std::move(onLock);
    savedRead_ = std::exchange(g_file_io.read_at, &readAt);
    savedLock_ = std::exchange(g_file_io.lock, &lock);
  }
  ~DataFileHook() {
    g_file_io.read_at = savedRead_;
    g_file_io.lock = savedLock_;
  }
  DataFileHook(const DataFileHook&) = delete;
  DataFileHook& operator=(const DataFileHook&) = delete;

 private:
  static bool ours(int h) {
    struct stat st {};
    return ::fstat(h, &st) == 0 && st.st_ino == inode_;
  }
  static int readAt(int h, int32_t off, int32_t len, void* buf) {
    if (onRead_ && ours(h)) onRead_();
    return savedRead_(h, off, len, buf);
  }
  static int lock(int h, int32_t off, int32_t len, int tries, int delay, int limit) {
    if (onLock_ && ours(h)) onLock_(tries);
    return savedLock_(h, off, len, tries, delay, limit);
  }

  static inline std::function<void()> onRead_;
  static inline std::function<void(int)> onLock_;
  static inline ino_t inode_ = 0;
  static inline int (*savedRead_)(int, int32_t, int32_t, void*) = nullptr;
  static inline int (*savedLock_)(int, int32_t, int32_t, int, int, int) = nullptr;
};

class WalkHold : public TrackingTest {
 protected:
  // Notes on `count` files spread over three sub-folders of files()/<old>.
  // The folder itself has no note, so that the rename event does no table
  // work after the walk.
  void makeTree(const std::string& old, int count) {
    for (int i = 0; i < count; ++i) {
      inside_.push_back(std::string(i % 3 == 0 ? "/a" : i % 3 == 1 ? "/b" : "/a/c") + "/f" + std::to_string(i));
      note(notesTable, file(old + inside_.back()), "note " + std::to_string(i));
    }
  }
  // How many notes are under the new prefix; each is under exactly one of
  // the two, with its own text.
  int reKeyed(const std::string& old, const std::string& now) {
    int moved = 0;
    for (size_t i = 0; i < inside_.size(); ++i) {
      const std::string text = "note " + std::to_string(i);
      auto before = remarkOf(notesTable, file(old + inside_[i]));
      auto after = remarkOf(notesTable, file(now + inside_[i]));
      EXPECT_NE(before.has_value(), after.has_value()) << inside_[i];
      EXPECT_EQ(before.value_or(text), text);
      EXPECT_EQ(after.value_or(text), text);
      if (after) ++moved;
    }
    return moved;
  }
  // Closes the database and opens a new, empty one in a state folder of
  // its own.
  void freshDatabase(int n) {
    (void)notesTable.close();
    (void)tempTable.close();
    (void)tb_shutdown();
    ::setenv("QB_HOME", (tmp_.path() + "/state" + std::to_string(n)).c_str(), 1);
    ASSERT_EQ(TableHandle::startEngine(16, 512), 1);
    ASSERT_EQ(openDatabase(), 1);
    log_.clear();  // the start's own trace
  }

  // tb_verify's findings on the notes table as its files hold it; the
  // table is open again afterwards.
  static int findingsOnDisk() {
    char base[kPathBuffer];
    if (notesTable.close() != 1 || systemFilePath(base, "qb") != 1) return -1;
    Table* t = tb_open(base, 0, 1);
    int findings = t != nullptr ? tb_verify(t, nullptr, nullptr, 100) : -1;
    if (t != nullptr && tb_close(t) != 1) findings = -1;
    if (notesTable.open(base, 1) != 1 || notesTable.setIndex(kPathIndex) != 1) return -1;
    return findings;
  }

  std::vector<std::string> inside_;
};

// A walk of one slice commits once, at its end; with slices of one note,
// others see each commit but the last during the walk.
TEST_F(WalkHold, OthersSeeTheWalkOnlyWhenASliceCommits) {
  const IxLockSettings ix = ix_lock_settings;
  ix_lock_settings.delay_ms = 1;  // the pause between slices
  for (const int slice : {60000, 0}) {  // the whole walk in one slice, however slow the machine; a note a slice
    SCOPED_TRACE(slice);
    walk_slice_ms = slice;
    const std::string old = "Old" + std::to_string(slice), now = "New" + std::to_string(slice);
    inside_.clear();
    makeTree(old, 12);
    OtherOpen other;
    ASSERT_TRUE(other.ok());
    const int32_t before = other.changeCount();
    int reads = 0, unlocked = 0, commits = 0;
    int32_t seen = before;
    {
      DataFileHook hook([&] {
        ++reads;
        if (!other.writerHeld()) ++unlocked;
        if (other.changeCount() != seen) {
          ++commits;
          seen = other.changeCount();
        }
      });
      EXPECT_EQ(event(OP_RENAME, file(old), file(now)),
                "\nDoResponse with 2\nRENAME: " + file(old) + ", " + file(now) + "\n");
    }
    walk_slice_ms = 100;
    EXPECT_GE(reads, 12);  // each re-key reads its note
    EXPECT_EQ(unlocked, 0) << "the write lock lapsed within a slice";
    EXPECT_EQ(commits, slice == 0 ? 11 : 0);
    EXPECT_FALSE(other.anyLockHeld());
    EXPECT_NE(other.changeCount(), before);
    EXPECT_EQ(reKeyed(old, now), 12);
  }
  ix_lock_settings = ix;
}

// Rows (n, persistent) for the walk's one flush, that of its commit at the
// end (the re-keys write their notes in place, each inside its sector, so
// that no flush orders them on the way); then every write of the walk in
// turn fails once, each on a database of its own. A flush or write of the
// commit that fails once is tried again under the lock; only one failing
// every time is reported. A re-key that fails leaves its note under the old
// path and the walk goes on. Afterwards the lock is free, every note is
// under exactly one of its paths, and the files verify clean.
TEST_F(WalkHold, FailingCommitIsTriedAgainAndTheLockGivenBack) {
  const std::pair<int, bool> flushes[] = {{1, false}, {1, true}};
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    const bool writes = n > 2;
    if (writes) freshDatabase(n);
    inside_.clear();
    const std::string old = "Old" + std::to_string(n);
    const std::string now = "New" + std::to_string(n);
    makeTree(old, 6);
    std::string traced;
    int fired = 0, unmoved = 0;
    {
      FaultIo faults;
      if (writes) faults.arm(IoKind::Write, n - 2);
      else faults.arm(IoKind::Flush, flushes[n - 1].first, flushes[n - 1].second);
      walkFolder(file(old).c_str(), file(now).c_str());
      fired = faults.plan().failures;
      traced = tracesBut("FAILED: update ", &unmoved);
    }
    log_.clear();
    OtherOpen other;
    ASSERT_TRUE(other.ok());
    EXPECT_FALSE(other.anyLockHeld());
    const bool failsAlways = !writes && flushes[n - 1].second;
    EXPECT_EQ(traced, failsAlways ? "WALK COMMIT FAILED: " + file(now) + "\n" : "");
    EXPECT_EQ(notesIndexUnsure(), failsAlways);
    if (!writes) {
      EXPECT_GE(fired, 1) << "the walk made no flush";
    }
    setNotesIndexUnsure(false);
    // A failing write, or a flush that orders a record's move, fails one
    // re-key; the commit's flushes fail none.
    EXPECT_GE(reKeyed(old, now), fired == 0 ? 6 : 5);
    EXPECT_EQ(reKeyed(old, now), 6 - unmoved);  // each note left behind is said
    EXPECT_EQ(findingsOnDisk(), 0);
    if (writes && fired == 0) break;
    ASSERT_LT(n, 200) << "the walk never ran out of writes";
  }
}

TEST_F(WalkHold, TableHeldByAnotherProcessIsLeftAsItIs) {
  // The walk cannot take the lock, nor can any re-key on its own: nothing
  // changes, the walk says why, and the Monitor's locks are all given back.
  makeTree("Old", 6);
  const IxLockSettings ix = ix_lock_settings;
  const TbLockSettings tb = tb_lock_settings;
  ix_lock_settings = IxLockSettings{2, 1, 20};  // refusals come quickly
  tb_lock_settings = TbLockSettings{2, 1, 20};
  {
    OtherOpen holder;
    ASSERT_TRUE(holder.ok());
    ASSERT_TRUE(holder.holdLastByte());
    walkFolder(file("Old").c_str(), file("New").c_str());
  }
  ix_lock_settings = ix;
  tb_lock_settings = tb;
  int unmoved = 0;
  EXPECT_EQ(tracesBut("FAILED: update ", &unmoved), "WALK UNLOCKED: " + file("New") + "\n");
  EXPECT_EQ(reKeyed("Old", "New"), 0);
  EXPECT_EQ(unmoved, 6);
  OtherOpen other;
  ASSERT_TRUE(other.ok());
  EXPECT_FALSE(other.anyLockHeld());
  // With the table free again, the same walk re-keys everything.
  log_.clear();
  walkFolder(file("Old").c_str(), file("New").c_str());
  EXPECT_EQ(traces(), "");
  EXPECT_EQ(reKeyed("Old", "New"), 6);
}

// Another process that locked notes' records before the walk began and
// now waits for the table's write lock to change them (as `qbnote set`
// does): the walk, refused the record lock, lets it through and re-keys
// everything all the same, instead of both waiting until one gives up.
TEST_F(WalkHold, RecordLockedByAProcessWaitingForTheTableIsLetThrough) {
  makeTree("Old", 6);
  const IxLockSettings ix = ix_lock_settings;
  const TbLockSettings tb = tb_lock_settings;
  ix_lock_settings = IxLockSettings{400, 1, 2000};
  tb_lock_settings = TbLockSettings{50, 2, 1000};  // a held record is given up on after about 100 ms
  OtherOpen records("qb.db");
  OtherOpen index;
  ASSERT_TRUE(records.ok() && index.ok());
  ASSERT_TRUE(records.lock(4, INT32_MAX - 4));  // every record
  std::atomic<bool> walking{false};
  std::atomic<bool> stop{false};
  bool through = false;
  std::pair<bool, int> first{false, 0};
  std::thread other([&] {
    // Asks for the write lock once the walk (holding it) asks for a record.
    while (!walking && !stop) std::this_thread::sleep_for(std::chrono::microseconds(100));
    while (!stop) {
      if (index.takeWriterRange()) {  // its change, then both locks go
        (void)records.lock(4, INT32_MAX - 4, false);
        (void)index.lock(kHeaderSize, kNotesPageSize - kHeaderSize, false);
        through = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  {
    DataFileHook hook(nullptr, [&](int tries) {  // the walk's first record lock
      if (walking) return;
      first = {index.anyLockHeld(), tries};
      walking = true;
    });
    walkFolder(file("Old").c_str(), file("New").c_str());
  }
  stop = true;
  other.join();
  (void)records.lock(4, INT32_MAX - 4, false);
  ix_lock_settings = ix;
  tb_lock_settings = tb;
  EXPECT_EQ(first, std::make_pair(true, 1));  // under the hold, one try: others wait for it
  EXPECT_TRUE(through);
  EXPECT_EQ(traces(), "");
  EXPECT_EQ(reKeyed("Old", "New"), 6);
  EXPECT_FALSE(index.anyLockHeld());
}

// Events handled while the queue says more wait behind them share one
// hold: the first event, with nothing said yet, commits on its own; after it
// three more wait, and those commit together once the
// queue is empty. Under the hold, a
// record locked by a process that waits for the table ends the group, so
// that process gets through, and the note still moves.
TEST_F(WalkHold, QueuedEventsCommitTogetherAndLetARecordHolderThrough) {
  for (int i = 0; i < 5; ++i) note(notesTable, file("f" + std::to_string(i)), "note " + std::to_string(i));
  OtherOpen index;
  ASSERT_TRUE(index.ok());
  int32_t committed = index.changeCount();
  for (int i = 0; i < 4; ++i) {
    behind = static_cast<size_t>(3 - i);
    (void)event(OP_RENAME, file("f" + std::to_string(i)), file("g" + std::to_string(i)));
    EXPECT_EQ(index.writerHeld(), i < 3) << i;
    EXPECT_EQ(index.changeCount() != committed, i == 0 || i == 3) << i;
    committed = index.changeCount();
  }
  EXPECT_FALSE(index.anyLockHeld());

  const IxLockSettings ix = ix_lock_settings;
  const TbLockSettings tb = tb_lock_settings;
  ix_lock_settings = IxLockSettings{400, 1, 2000};
  tb_lock_settings = TbLockSettings{50, 2, 1000};
  behind = 1;
  (void)event(OP_RENAME, file("g0"), file("h0"));  // opens the next group
  OtherOpen records("qb.db");
  ASSERT_TRUE(records.ok() && records.lock(4, INT32_MAX - 4));  // every record
  std::atomic<bool> through{false};
  std::thread other([&] {
    while (!index.takeWriterRange()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    (void)records.lock(4, INT32_MAX - 4, false);
    (void)index.lock(kHeaderSize, kNotesPageSize - kHeaderSize, false);
    through = true;
  });
  std::vector<int> tries;
  {
    DataFileHook hook(nullptr, [&](int n) { tries.push_back(n); });
    behind = 0;
    ASSERT_EQ(::close(::creat(file("g4").c_str(), 0600)), 0);  // a file: no folder walk
    (void)event(OP_RENAME, file("f4"), file("g4"));
  }
  other.join();
  ix_lock_settings = ix;
  tb_lock_settings = tb;
  EXPECT_EQ(tries.front(), 1);  // under the hold, one try
  EXPECT_EQ(tries.size(), 2u);  // then the engine's retries
  EXPECT_TRUE(through);
  EXPECT_FALSE(index.anyLockHeld());
  for (const auto& [path, text] : std::vector<std::pair<std::string, std::string>>{
           {"h0", "note 0"}, {"g1", "note 1"}, {"g2", "note 2"}, {"g3", "note 3"}, {"g4", "note 4"}})
    EXPECT_EQ(remarkOf(notesTable, file(path)), std::optional<std::string>(text)) << path;
  EXPECT_FALSE(remarkOf(notesTable, file("f4")).has_value());
}

}  // namespace
