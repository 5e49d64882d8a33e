// Recovery at start: rebuildNotesTable after an unclean stop keeps every
// note (sound files, a damaged or missing index file), fails over a data
// file the unique index cannot cover so that the backup comes back, and
// restoreFromBackup without a backup changes nothing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "upkeep_fixture.h"
#include "upkeep/monitor_tables.h"

namespace {

class Recovery : public UpkeepTest {
 protected:
  // A run that wrote notes and then stopped without closeDatabase: "status"
  // stays 1 and an older backup with fewer notes lies beside the table.
  Notes uncleanStop() {
    Notes old = makeNotes(40, "old");
    writeNotes(sys("qb"), old);
    EXPECT_EQ(qb_copy_file(sys("qb.db").c_str(), sys("qbbak.db").c_str(), false), 0);
    EXPECT_EQ(qb_copy_file(sys("qb.idx").c_str(), sys("qbbak.idx").c_str(), false), 0);
    EXPECT_EQ(openDatabase(), 1);
    Notes all = old;
    for (const auto& [path, remark] : makeNotes(120, "since")) {
      addNote(notesTable, path, remark);
      all.emplace(path, remark);
    }
    deleteNote(old.begin()->first);
    all.erase(old.begin()->first);
    // The process ends here; the engine's shutdown closes the files.
    (void)notesTable.close();
    (void)tempTable.close();
    EXPECT_EQ(status(), 1u);
    return all;
  }
};

TEST_F(Recovery, RebuildOfSoundFilesKeepsEveryNote) {
  Notes all = uncleanStop();
  ASSERT_EQ(rebuildNotesTable(), 1) << notesTable.lastError();
  EXPECT_FALSE(notesTable.isOpen());
  EXPECT_EQ(readAll(sys("qb")), rowsOf(all));
  EXPECT_EQ(verify(sys("qb")), 0);
  EXPECT_EQ(indexNames(sys("qb")), (std::vector<std::string>{"INDX_Path,U", "Physical Index"}));
  // The rebuilt table is the one the next start opens and works on.
  ASSERT_EQ(openDatabase(), 1);
  addNote(notesTable, "/home/Ada/after/the/rebuild/new-note.md", "fresh");
  deleteNote(all.rbegin()->first);
}

TEST_F(Recovery, GarbageIndexFileIsRebuiltFromTheDataFile) {
  Notes all = uncleanStop();
  ASSERT_TRUE(write_whole_file(sys("qb.idx"), std::string(4096, '\x5A')));
  ASSERT_EQ(rebuildNotesTable(), 1) << notesTable.lastError();
  EXPECT_EQ(readAll(sys("qb")), rowsOf(all));
  EXPECT_EQ(verify(sys("qb")), 0);
}

TEST_F(Recovery, MissingIndexFileIsRebuiltFromTheDataFile) {
  Notes all = uncleanStop();
  ASSERT_EQ(::unlink(sys("qb.idx").c_str()), 0);
  ASSERT_EQ(rebuildNotesTable(), 1) << notesTable.lastError();
  EXPECT_EQ(readAll(sys("qb")), rowsOf(all));
  EXPECT_EQ(verify(sys("qb")), 0);
}

TEST_F(Recovery, DuplicatePathFailsTheRebuildAndTheBackupComesBack) {
  Notes backedUp = uncleanStop();
  ASSERT_EQ(qb_copy_file(sys("qb.db").c_str(), sys("qbbak.db").c_str(), false), 0);
  ASSERT_EQ(qb_copy_file(sys("qb.idx").c_str(), sys("qbbak.idx").c_str(), false), 0);
  {
    // A notes table whose data file holds two records of one path: written
    // on the physical index alone, which does not look at paths.
    TableHandle h;
    const char* fields[] = {"Path", "Remark", nullptr};
    ASSERT_EQ(h.create(sys("qb").c_str(), fields, 512), 1);
    addNote(h, "/home/Ada/docs/twice.txt", "first");
    addNote(h, "/home/Ada/docs/other.txt", "between");
    addNote(h, "/home/Ada/DOCS/Twice.txt", "second, same path ignoring case");
    ASSERT_EQ(h.close(), 1);
  }

  EXPECT_EQ(rebuildNotesTable(), -1);
  EXPECT_NE(notesTable.lastError(), 0);
  EXPECT_FALSE(notesTable.isOpen());
  // What the event thread does next.
  ASSERT_EQ(restoreFromBackup(), 1);
  EXPECT_EQ(readAll(sys("qb")), rowsOf(backedUp));
  EXPECT_EQ(verify(sys("qb")), 0);
}

TEST_F(Recovery, RebuildOfFilesThatCannotBeOpenedReturnsTheOpensResult) {
  EXPECT_EQ(rebuildNotesTable(), -1);
  EXPECT_EQ(notesTable.lastError(), kTbCannotOpen);
  EXPECT_FALSE(notesTable.isOpen());
  EXPECT_FALSE(exists(sys("qb.db")));
}

TEST_F(Recovery, RestoreWithoutBackupFilesChangesNothing) {
  Notes notes = makeNotes(20, "only");
  writeNotes(sys("qb"), notes);
  const std::string data = read_whole_file(sys("qb.db"));
  const std::string index = read_whole_file(sys("qb.idx"));

  EXPECT_EQ(restoreFromBackup(), 0);
  EXPECT_EQ(read_whole_file(sys("qb.db")), data);
  EXPECT_EQ(read_whole_file(sys("qb.idx")), index);
}

TEST_F(Recovery, RestoreWithHalfABackupReportsFailure) {
  writeNotes(sys("qb"), makeNotes(20, "now"));
  writeNotes(sys("qbbak"), makeNotes(10, "then"));
  ASSERT_EQ(::unlink(sys("qbbak.idx").c_str()), 0);
  const std::string index = read_whole_file(sys("qb.idx"));

  EXPECT_EQ(restoreFromBackup(), 0);
  EXPECT_EQ(read_whole_file(sys("qb.db")), read_whole_file(sys("qbbak.db")));  // both copies are tried
  EXPECT_EQ(read_whole_file(sys("qb.idx")), index);
}

}  // namespace
