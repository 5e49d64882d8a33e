// Start-up and stop of the notes database as one decision table: the files
// and marks before a call (openDatabase, closeDatabase, backupAndCompact,
// rebuildNotesTable, restoreFromBackup), then its result, the marks, the
// steps reported and what each pair of files holds after. Then the lifetime
// of set-aside notes across starts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/registry.h"
#include "support/fault_io.h"
#include "upkeep/set_aside.h"
#include "upkeep_fixture.h"

namespace {

// The state before, laid out in this order.
enum Before : uint32_t {
  kLay = 1, kLayPath = 1 << 1,   // the notes table with its notes; declaring "Path" (made elsewhere)
  kTwice = 1 << 2,               // instead, a table without the path index, one path in it twice
  kTwiceIgnoringCase = 1 << 3,   // the same, declaring "Path", the path twice ignoring case
  kBackup = 1 << 4, kHalfBackup = 1 << 5,  // qbbak.* of other notes; without its index file
  kTempOld = 1 << 6, kTempDir = 1 << 7, kTempBare = 1 << 8,  // the temporary table of the earlier
  // layout; a folder in place of its data file; without an index, and it cannot be made anew
  kThirdIndex = 1 << 9, kGarbage = 1 << 10, kNoIndexFile = 1 << 11,  // the notes table's index file
  kMark1 = 1 << 12, kMark2 = 1 << 13,     // a stop cut short: backing up, compacting
  kFailedOpen = 1 << 14, kOpen = 1 << 15, kOpenAnyway = 1 << 16,  // openDatabase; notesTable.open
  kDelete = 1 << 17,                      // every third note deleted through notesTable, MODIFIED set
  kUnsure = 1 << 18, kFault = 1 << 19,    // the index unsure; the 40th write from now fails
  kStopped = 1 << 20, kKilled = 1 << 21,  // closeDatabase, then "status" 1; the process ended instead
  kRebuildFailed = 1 << 22, kStatus1 = 1 << 23, kModified = 1 << 24,
};
enum Call { kOpenCall, kClose, kBackupCall, kRebuild, kRestore };
// What a pair of files holds after the call: nothing, its bytes as before,
// or (sound, with exactly the two indexes of the layout) a set of notes.
enum Holds { kUnchecked, kNoFile, kSame, kEmpty, kStart, kLeft, kOld, kOnce, kHalf };

// The marks (-1 unchecked); the steps reported (2 backing up and optimizing,
// 1 optimizing only); 1 notesTable open, +2 tempTable open; the stop's mark;
// the failing handle's error (the temporary table's for an open).
struct After {
  int status = -1, modified = -1;
  Holds qb = kUnchecked, bak = kUnchecked;
  int notices = 0, open = 0, step = 0, error = 0;
  const char* declared = kPathDeclaration;
};
struct Row { const char* name; uint32_t before; Call call; int result; After after; };

// Refuses every delete and create of a temporary-table file.
int refuseTempRemove(const char* n) { return std::strstr(n, "qbtmp") ? io_os_error = EACCES, -1 : io_default_table().remove(n); }
int refuseTempCreate(const char* n) { return std::strstr(n, "qbtmp") ? io_os_error = EACCES, -1 : io_default_table().create(n); }

int64_t g_now = 0;

class StartStop : public UpkeepTest {
 protected:
  void TearDown() override {
    faults_.reset();
    setNotesIndexUnsure(false);
    set_aside_clock = wall_;
    UpkeepTest::TearDown();
  }
  // A table `base` of two fields without the path index, holding `paths`.
  void physicalOnly(const char* base, const std::vector<const char*>& paths, const char* declaration) {
    TableHandle h;
    const char* fields[] = {declaration, "Remark", nullptr};
    ASSERT_EQ(h.create(sys(base).c_str(), fields, kNotesPageSize), 1);
    for (const char* path : paths) addNote(h, path, std::string("note of ") + path);
    ASSERT_EQ(h.close(), 1);
  }
  void lay(uint32_t b) {
    const auto mark = [](uint32_t step) { (void)reg_write_number(RegHive::kLocalMachine, kStatusKeyPath, "compaction", step); };
    const char* remark_key[] = {"Remark", nullptr};
    TableHandle h;
    writeStatus(0);
    if (b & (kLay | kLayPath)) writeNotes(sys("qb"), start_, b & kLay ? kPathDeclaration : "Path");
    if (b & kTwice) physicalOnly("qb", {"/a.txt", "/b.txt", "/a.txt", "/a.txt"}, kPathDeclaration);
    if (b & kTwiceIgnoringCase) physicalOnly("qb", {"/docs/twice.txt", "/other.txt", "/DOCS/Twice.txt"}, "Path");
    if (b & kBackup) writeNotes(sys("qbbak"), old_);
    if (b & kHalfBackup) ::unlink(sys("qbbak.idx").c_str());
    if (b & kTempOld) writeNotes(sys("qbtmp"), old_);
    if (b & kTempDir) ::mkdir(sys("qbtmp.db").c_str(), 0700);
    if (b & kTempBare) physicalOnly("qbtmp", {}, "Path"), g_file_io.remove = refuseTempRemove, g_file_io.create = refuseTempCreate;
    const auto check = [](bool ok, const char* step) { EXPECT_TRUE(ok) << step; };
    const auto damage = [&] {
      if (b & kGarbage) check(write_whole_file(sys("qb.idx"), std::string(4096, '\x5A')), "garbage");
      if (b & kNoIndexFile) check(::unlink(sys("qb.idx").c_str()) == 0, "unlink");
    };
    if (b & kThirdIndex) check(h.open(sys("qb").c_str(), 0) + h.createIndex("INDX_Remark", remark_key) == 2, "index");
    if (b & kThirdIndex) check(h.close() == 1, "close");
    if (!(b & kKilled)) damage();
    if (b & (kMark1 | kMark2)) mark(b & kMark1 ? 1 : 2);
    if (b & kFailedOpen) check(::mkdir(sys("qbtmp.db").c_str(), 0700) == 0 && openDatabase() == -1, "failed open");
    if (b & kFailedOpen) ::rmdir(sys("qbtmp.db").c_str());
    if (b & kOpen) check(openDatabase() == 1, "open");
    if (b & kOpenAnyway) check(notesTable.open(sys("qb").c_str(), 1) == 1, "open anyway");
    for (auto it = start_.begin(); b & kDelete && it != start_.end(); std::advance(it, std::min<long>(3, std::distance(it, start_.end())))) {
      check(notesTable.setField(0, it->first.c_str()) == 1 && notesTable.findKey() == 2 && notesTable.deleteRecord() == 1, "delete");
      left_.erase(it->first);
    }
    if (b & (kModified | kDelete)) setModified();
    if (b & kUnsure) setNotesIndexUnsure(true);
    if (b & kFault) faults_.emplace().arm(IoKind::Write, 40);
    if (b & kStopped) closeDatabase(), writeStatus(1);
    if (b & kKilled) (void)notesTable.close(), (void)tempTable.close(), damage();
    if (b & kRebuildFailed) check(rebuildNotesTable() == -1 && !notesTable.isOpen(), "failed rebuild");
    if (b & kStatus1) writeStatus(1);
  }
  void expectHolds(const char* base, Holds holds, const std::string before[2]) {
    const std::string db = sys(base) + ".db", idx = sys(base) + ".idx";
    if (holds == kNoFile) {
      EXPECT_FALSE(exists(db)) << base;
    } else if (holds == kSame || holds == kHalf) {
      EXPECT_TRUE(read_whole_file(db) == (holds == kHalf ? read_whole_file(sys("qbbak.db")) : before[0])) << base;
      EXPECT_TRUE(read_whole_file(idx) == before[1]) << base;
    } else if (holds != kUnchecked) {
      const Inspection in = inspect(sys(base));
      const Notes none, *want = holds == kStart ? &start_ : holds == kLeft ? &left_ : holds == kOld ? &old_ : &none;
      EXPECT_TRUE(in.sound({})) << base << ": " << in.report;
      EXPECT_EQ(in.indexes, (Names{kPhysicalIndex, kPathIndex})) << base;
      EXPECT_TRUE(holds == kOnce ? in.order.size() == 2 : in.records == *want) << base << " holds " << in.records.size();
    }
  }

  const Notes start_ = makeNotes(60, "start"), old_ = makeNotes(25, "old");
  Notes left_ = start_;
  std::optional<FaultIo> faults_;
  int64_t (*const wall_)() = set_aside_clock;
};

TEST_F(StartStop, DecisionTable) {
  const std::vector<std::string> both = {"Backing up the Quibbet Database...", "Optimizing the Quibbet Database..."};
  const Row rows[] = {
      {"first start", 0, kOpenCall, 1, {.status = 1, .qb = kEmpty, .bak = kNoFile, .open = 3}},
      // A table made elsewhere compares paths ignoring case and keeps that.
      {"notes declared Path, temporary table of the earlier layout", kLayPath | kTempOld, kOpenCall, 1,
       {.status = 1, .qb = kStart, .open = 3, .declared = "Path"}},
      {"temporary data file is a folder", kLay | kTempDir, kOpenCall, -1,
       {.status = 0, .qb = kStart, .open = 1, .error = kTbCannotOpen}},
      {"temporary table without its index", kTempBare, kOpenCall, -1, {.status = 0, .open = 2, .error = kTbNoSuchIndex}},
      {"second call after a failed one", kFailedOpen, kOpenCall, 1, {.status = 1, .qb = kEmpty, .open = 3}},
      {"index file unusable", kLay | kGarbage, kOpenCall, kNotesIndexUnusable, {.status = 0, .qb = kSame}},
      {"stop cut short while compacting", kLay | kBackup | kMark2, kOpenCall, 1, {.qb = kOld, .bak = kOld, .open = 3}},
      {"stop cut short while backing up", kLay | kBackup | kMark1, kOpenCall, 1, {.qb = kStart, .bak = kStart, .open = 3}},
      {"stop with nothing deleted", kLay | kOpen, kClose, 0, {.status = 0, .modified = 0, .qb = kStart, .bak = kNoFile, .open = 2}},
      {"stop after deletions", kLay | kOpen | kDelete, kClose, 0,
       {.status = 0, .modified = 0, .qb = kLeft, .bak = kLeft, .notices = 2, .open = 2}},
      {"third index: the backup takes the table's place", kLay | kBackup | kThirdIndex | kOpen | kModified, kClose, 0,
       {.status = 0, .modified = 0, .qb = kOld, .bak = kSame, .notices = 1, .open = 2}},
      {"index file unusable, opened all the same", kLay | kBackup | kGarbage | kOpenAnyway | kModified, kClose, 0,
       {.status = 0, .modified = 0, .qb = kOld, .bak = kSame, .notices = 1}},
      {"never opened, MODIFIED set", kLay | kBackup | kStatus1 | kModified, kClose, 0,
       {.status = 0, .modified = 0, .qb = kOld, .bak = kSame, .notices = 1}},
      {"never opened, MODIFIED set, no backup", kLay | kStatus1 | kModified, kClose, 0,
       {.status = 0, .modified = 1, .qb = kSame, .bak = kNoFile}},
      {"second stop", kLay | kOpen | kDelete | kStopped, kClose, 0,
       {.status = 0, .modified = 0, .qb = kSame, .bak = kSame, .open = 2}},
      // Fault: a commit that failed every try left the index unsure, and the stop compacted from it.
      {"index unsure", kLay | kOpen | kDelete | kUnsure, kClose, 0,
       {.status = 1, .modified = 1, .qb = kLeft, .bak = kNoFile, .open = 2}},
      {"compaction fails part way", kLay | kOpen | kDelete | kFault, kClose, 0,
       {.status = 1, .modified = 1, .qb = kLeft, .notices = 2, .open = 2}},
      {"damaged table, backup cut short", kLay | kBackup | kMark1, kBackupCall, 1, {.qb = kSame, .bak = kSame, .step = 1}},
      {"unclean stop", kLay | kOpen | kDelete | kKilled, kRebuild, 1, {.status = 1, .qb = kLeft}},
      {"unclean stop, index file garbage", kLay | kOpen | kDelete | kKilled | kGarbage, kRebuild, 1, {.qb = kLeft}},
      {"unclean stop, index file missing", kLay | kOpen | kDelete | kKilled | kNoIndexFile, kRebuild, 1, {.qb = kLeft}},
      // Fault: a move cut short left a note twice under one path, and the unique index could not be defined.
      {"a note written twice", kTwice, kRebuild, 1, {.qb = kOnce}},
      {"no files", 0, kRebuild, -1, {.qb = kNoFile, .error = kTbCannotOpen}},
      {"two notes under one path ignoring case: the backup comes back", kTwiceIgnoringCase | kBackup | kRebuildFailed,
       kRestore, 1, {.qb = kOld}},
      {"restore without a backup", kLay, kRestore, 0, {.qb = kSame}},
      {"restore with half a backup", kLay | kBackup | kHalfBackup, kRestore, 0, {.qb = kHalf}},
      {"restore of a backup cut short", kLay | kBackup | kMark1, kRestore, 0, {.qb = kSame, .step = 1}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TearDown();
    UpkeepTest::SetUp();
    left_ = start_;
    lay(r.before);
    std::string qb[2] = {read_whole_file(sys("qb.db")), read_whole_file(sys("qb.idx"))};
    std::string bak[2] = {read_whole_file(sys("qbbak.db")), read_whole_file(sys("qbbak.idx"))};
    log_.clear();
    const int got = r.call == kOpenCall ? openDatabase() : r.call == kClose ? (closeDatabase(), 0)
                    : r.call == kBackupCall ? backupAndCompact() : r.call == kRebuild ? rebuildNotesTable()
                                                                     : restoreFromBackup();
    EXPECT_TRUE(!faults_ || faults_->plan().failures == 1);
    faults_.reset();
    EXPECT_EQ(got, r.result);
    EXPECT_TRUE(r.after.error == 0 || (r.call == kOpenCall ? tempTable : notesTable).lastError() == r.after.error);
    EXPECT_EQ(notesTable.isOpen() + 2 * tempTable.isOpen(), r.after.open);
    EXPECT_TRUE(r.after.status < 0 || status() == r.after.status) << status();
    EXPECT_TRUE(r.after.modified < 0 || modified() == r.after.modified) << modified();
    EXPECT_EQ(stopStep(), static_cast<uint32_t>(r.after.step));
    EXPECT_TRUE(log_.count(both[0]) == (r.after.notices == 2) && log_.count(both[1]) == (r.after.notices > 0));
    if (r.call == kOpenCall && got == 1) {
      // The temporary table compares paths as the notes table does, has the
      // set-aside layout, starts empty and is keyed on the path at once.
      EXPECT_STREQ(declaredPath(notesTable), r.after.declared);
      EXPECT_TRUE(tempTable.fieldType(0) == notesTable.fieldType(0) && tempTable.fieldNumber(kKindField) == 3);
      EXPECT_EQ(tempTable.firstRecord(), -3);
      addNote(tempTable, "/home/Ada/set/aside.txt", "set aside");
      EXPECT_TRUE(tempTable.setField(0, "/HOME/Ada/SET/aside.TXT") == 1 && notesTable.setField(0, "/none") == 1);
      EXPECT_EQ(tempTable.findKey() == 2, std::strcmp(r.after.declared, "Path") == 0);
      EXPECT_EQ(notesTable.findKey(), 3);
    }
    (void)notesTable.close(), (void)tempTable.close();
    expectHolds("qb", r.after.qb, qb);
    expectHolds("qbbak", r.after.bak, bak);
    if (r.after.notices == 2 && r.after.modified == 0) {  // the stop's table, backed up, then compacted
      EXPECT_TRUE(read_whole_file(sys("qbbak.db")) == qb[0] && read_whole_file(sys("qb.db")).size() < qb[0].size());
    }
  }
}

// Set-aside notes outlive a start until they expire: a deleted file's after
// SetAsideDays (0: at the next start), a rename's copy after
// RenameBackSeconds. A temporary index file that went missing is rebuilt.
TEST_F(StartStop, SetAsideNotesExpireAcrossStarts) {
  set_aside_clock = [] { return g_now; };
  ASSERT_EQ(openDatabase(), 1);
  const int64_t now = 100 * 86400;
  const struct { const char* path; int64_t age; const char* kind; } aside[] = {
      {"/d/old", 30 * 86400 + 1, kAsideDeleted}, {"/d/young", 30 * 86400, kAsideDeleted},
      {"/r/old", 61, kAsideRenamed}, {"/r/young", 60, kAsideRenamed}};
  for (const auto& n : aside) {
    g_now = now - n.age;
    ASSERT_EQ(tempTable.setField(0, n.path) + tempTable.setField(1, "note"), 2);
    stampSetAside(tempTable, n.kind);
    ASSERT_EQ(tempTable.addRecord(), 1);
  }
  g_now = now;
  ASSERT_EQ(tempTable.close(), 1);
  ASSERT_EQ(::unlink(sys("qbtmp.idx").c_str()), 0);
  const auto startAgain = [] {
    std::vector<std::string> paths;
    EXPECT_EQ(openDatabase(), 1);
    for (int r = tempTable.firstRecord(); r == 1 && tempTable.readRecord(0) == 1; r = tempTable.nextRecord())
      paths.push_back(tempTable.getField(0));
    (void)tempTable.close();
    return paths;
  };
  EXPECT_EQ(startAgain(), (std::vector<std::string>{"/d/young", "/r/young"}));
  ASSERT_EQ(reg_write_number(RegHive::kLocalMachine, "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration",
                             "SetAsideDays", 0), 0);
  EXPECT_EQ(startAgain(), std::vector<std::string>{});
}

}  // namespace
