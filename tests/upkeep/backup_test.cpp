// closeDatabase: the plain close, backup and compaction after deletions,
// the damaged index list and the never-opened table that take the backup
// instead, the second call, and a compaction that fails part way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fault_io.h"
#include "upkeep_fixture.h"
#include "upkeep/monitor_tables.h"

namespace {

// The steps a stop reports.
const std::vector<std::string> kCompactionLog = {"Backing up the Quibbet Database...",
                                                 "Optimizing the Quibbet Database..."};
const std::vector<std::string> kRestoreLog = {"Optimizing the Quibbet Database..."};

class CloseDatabase : public UpkeepTest {
 protected:
  // Opens the database on `notes` and deletes every third of them through
  // notesTable, marking "MODIFIED" as the event handler does. The notes
  // left.
  Notes openAndDelete(const Notes& notes) {
    writeNotes(sys("qb"), notes);
    EXPECT_EQ(openDatabase(), 1);
    Notes left = notes;
    int i = 0;
    for (const auto& entry : notes)
      if (i++ % 3 == 0) {
        deleteNote(entry.first);
        left.erase(entry.first);
      }
    setModified("1");
    return left;
  }

  // One full run that leaves a compacted notes table and its backup
  // holding `notes` minus the deleted ones, which it returns.
  Notes runWithBackup(const Notes& notes) {
    Notes left = openAndDelete(notes);
    closeDatabase();
    EXPECT_EQ(modified(), 0u);
    EXPECT_EQ(readAll(sys("qbbak")), rowsOf(left));
    (void)tempTable.close();
    log_.clear();
    return left;
  }
};

TEST_F(CloseDatabase, WithoutDeletionsOnlyClosesAndMarksTheCleanClose) {
  Notes notes = makeNotes(30, "plain");
  writeNotes(sys("qb"), notes);
  ASSERT_EQ(openDatabase(), 1);
  ASSERT_EQ(status(), 1u);

  closeDatabase();
  EXPECT_FALSE(notesTable.isOpen());
  EXPECT_EQ(status(), 0u);
  EXPECT_FALSE(exists(sys("qbbak.db")));
  EXPECT_FALSE(exists(sys("qbbak.idx")));
  EXPECT_TRUE(log_.texts(LogKind::kNotice).empty());
  ASSERT_EQ(tempTable.close(), 1);
  EXPECT_EQ(readAll(sys("qb")), rowsOf(notes));
}

TEST_F(CloseDatabase, AfterDeletionsBacksUpAndCompactsRecordForRecord) {
  Notes left = openAndDelete(makeNotes(300, "compact"));
  // The data file is written straight to disk: this is the table as it is
  // at shutdown.
  const std::string dataAtShutdown = read_whole_file(sys("qb.db"));
  ASSERT_GT(freeBlocks(sys("qb.db")), 0);

  closeDatabase();
  EXPECT_FALSE(notesTable.isOpen());
  EXPECT_EQ(log_.texts(LogKind::kNotice), kCompactionLog);
  EXPECT_EQ(modified(), 0u);
  EXPECT_EQ(status(), 0u);

  ASSERT_EQ(tempTable.close(), 1);
  EXPECT_EQ(read_whole_file(sys("qbbak.db")), dataAtShutdown);
  EXPECT_EQ(readAll(sys("qbbak")), rowsOf(left));
  EXPECT_EQ(readAll(sys("qb")), rowsOf(left));
  EXPECT_EQ(verify(sys("qbbak")), 0);
  EXPECT_EQ(verify(sys("qb")), 0);
  EXPECT_EQ(freeBlocks(sys("qb.db")), 0);
  EXPECT_LT(read_whole_file(sys("qb.db")).size(), dataAtShutdown.size());
  EXPECT_EQ(indexNames(sys("qb")), (std::vector<std::string>{"INDX_Path,U", "Physical Index"}));
}

TEST_F(CloseDatabase, ThirdIndexTakesTheBackupInsteadOfTheTable) {
  Notes kept = runWithBackup(makeNotes(90, "first"));
  const std::string backupData = read_whole_file(sys("qbbak.db"));
  const std::string backupIndex = read_whole_file(sys("qbbak.idx"));

  {
    // Another program added a note and an index of its own (defining an
    // index needs the table exclusively).
    TableHandle h;
    ASSERT_EQ(h.open(sys("qb").c_str(), 0), 1);
    addNote(h, "/home/Ada/after/the/backup/late-note.txt", "written after the backup");
    static const char* const kRemarkKey[] = {"Remark", nullptr};
    ASSERT_EQ(h.createIndex("INDX_Remark", kRemarkKey), 1) << h.lastError();
    ASSERT_EQ(h.close(), 1);
  }
  ASSERT_EQ(openDatabase(), 1);
  ASSERT_EQ(notesTable.indexCount(), 3);
  setModified("1");

  closeDatabase();
  EXPECT_EQ(log_.texts(LogKind::kNotice), kRestoreLog);
  EXPECT_EQ(modified(), 0u);
  EXPECT_EQ(status(), 0u);
  ASSERT_EQ(tempTable.close(), 1);
  EXPECT_EQ(readAll(sys("qb")), rowsOf(kept));
  EXPECT_EQ(indexNames(sys("qb")), (std::vector<std::string>{"INDX_Path,U", "Physical Index"}));
  EXPECT_EQ(freeBlocks(sys("qb.db")), 0);
  EXPECT_EQ(read_whole_file(sys("qbbak.db")), backupData);
  EXPECT_EQ(read_whole_file(sys("qbbak.idx")), backupIndex);
}

TEST_F(CloseDatabase, PhysicalIndexAloneTakesTheBackupInsteadOfTheTable) {
  Notes kept = runWithBackup(makeNotes(60, "second"));
  // An index file that cannot be used: the Monitor's open refuses the
  // table (it would take no event); opened all the same, it has its
  // physical index alone.
  ASSERT_TRUE(write_whole_file(sys("qb.idx"), std::string(2048, '\xA5')));
  ASSERT_EQ(openDatabase(), kNotesIndexUnusable);
  EXPECT_FALSE(notesTable.isOpen());
  ASSERT_EQ(notesTable.open(sys("qb").c_str(), 1), 1);
  ASSERT_EQ(notesTable.indexCount(), 1);
  setModified("1");

  closeDatabase();
  EXPECT_EQ(log_.texts(LogKind::kNotice), kRestoreLog);
  EXPECT_EQ(status(), 0u);
  EXPECT_EQ(readAll(sys("qb")), rowsOf(kept));
  EXPECT_EQ(verify(sys("qb")), 0);
}

TEST_F(CloseDatabase, NeverOpenedTableWithModifiedSetTakesTheBackup) {
  Notes kept = runWithBackup(makeNotes(50, "third"));
  // Notes written to the files by someone else since: not what the backup
  // holds.
  writeNotes(sys("qb"), makeNotes(5, "other"));
  writeStatus(1);
  setModified("1");

  closeDatabase();  // notesTable was never opened in this run
  EXPECT_EQ(log_.texts(LogKind::kNotice), kRestoreLog);
  EXPECT_EQ(modified(), 0u);
  EXPECT_EQ(status(), 0u);
  EXPECT_EQ(readAll(sys("qb")), rowsOf(kept));
}

TEST_F(CloseDatabase, NeverOpenedTableWithoutBackupKeepsItsMarks) {
  writeNotes(sys("qb"), makeNotes(5, "alone"));
  const std::string data = read_whole_file(sys("qb.db"));
  writeStatus(1);
  setModified("1");

  closeDatabase();  // no backup to restore: nothing is compacted
  EXPECT_EQ(modified(), 1u);
  EXPECT_EQ(status(), 0u);  // closing the never-opened table gave 1
  EXPECT_EQ(read_whole_file(sys("qb.db")), data);
  EXPECT_FALSE(exists(sys("qbbak.db")));
}

TEST_F(CloseDatabase, SecondCallOnlyWritesTheStatusAgain) {
  Notes left = openAndDelete(makeNotes(60, "twice"));
  closeDatabase();
  const std::string data = read_whole_file(sys("qb.db"));
  const std::string index = read_whole_file(sys("qb.idx"));
  const std::string backup = read_whole_file(sys("qbbak.db"));
  log_.clear();
  writeStatus(1);

  closeDatabase();
  EXPECT_EQ(status(), 0u);
  EXPECT_TRUE(log_.texts(LogKind::kNotice).empty());
  EXPECT_EQ(read_whole_file(sys("qb.db")), data);
  EXPECT_EQ(read_whole_file(sys("qb.idx")), index);
  EXPECT_EQ(read_whole_file(sys("qbbak.db")), backup);
}

TEST_F(CloseDatabase, IndexLeftUnsureByAFailedCommitIsNeitherBackedUpNorCompacted) {
  Notes left = openAndDelete(makeNotes(30, "unsure"));
  setNotesIndexUnsure(true);
  closeDatabase();
  setNotesIndexUnsure(false);
  EXPECT_FALSE(notesTable.isOpen());
  EXPECT_EQ(status(), 1u);  // the next start rebuilds the index
  EXPECT_EQ(modified(), 1u);
  EXPECT_FALSE(exists(sys("qbbak.db")));
  ASSERT_EQ(tempTable.close(), 1);
  EXPECT_EQ(readAll(sys("qb")), rowsOf(left));
}

TEST_F(CloseDatabase, CompactionThatFailsPartWayLeavesTheWholeTable) {
  Notes left = openAndDelete(makeNotes(200, "broken"));
  FaultIo faults;
  // Well into the copy: records of the fresh notes table are being written.
  faults.arm(IoKind::Write, 80);

  closeDatabase();
  ASSERT_EQ(faults.plan().failures, 1);
  faults.disarm();
  EXPECT_EQ(modified(), 1u);
  EXPECT_EQ(status(), 1u);
  ASSERT_EQ(tempTable.close(), 1);
  // The next start's recovery rebuilds whatever table it finds: it must be
  // the whole one.
  EXPECT_EQ(readAll(sys("qb")), rowsOf(left));
  EXPECT_EQ(rebuildNotesTable(), 1);
  EXPECT_EQ(readAll(sys("qb")), rowsOf(left));
}

}  // namespace
