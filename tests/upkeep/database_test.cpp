// openDatabase: the first start, notes kept and the temporary table thrown
// away, and the two ways the temporary table can fail.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "upkeep_fixture.h"
#include "platform/registry.h"
#include "upkeep/monitor_tables.h"
#include "upkeep/set_aside.h"

namespace {

class OpenDatabase : public UpkeepTest {};

TEST_F(OpenDatabase, FirstStartCreatesAnEmptyNotesTableAndMarksItOpen) {
  writeStatus(0);
  ASSERT_FALSE(exists(sys("qb.db")));
  ASSERT_EQ(openDatabase(), 1);

  ASSERT_TRUE(notesTable.isOpen());
  ASSERT_TRUE(tempTable.isOpen());
  EXPECT_EQ(status(), 1u);
  EXPECT_EQ(notesTable.fieldCount(), 2);
  EXPECT_EQ(notesTable.fieldNumber("Path"), 0);
  EXPECT_EQ(notesTable.fieldNumber("Remark"), 1);
  // Names that differ only in case are two files: both tables compare paths
  // byte for byte.
  EXPECT_STREQ(notesTable.fieldName(0), "Path,C");
  EXPECT_EQ(notesTable.fieldType(0), kFieldTextExact);
  EXPECT_EQ(tempTable.fieldType(0), kFieldTextExact);
  EXPECT_EQ(notesTable.firstRecord(), -3);
  // The path index is current: a search by path works at once.
  ASSERT_EQ(notesTable.setField(0, "/home/Ada/none.txt"), 1);
  EXPECT_EQ(notesTable.findKey(), 3);
  ASSERT_EQ(notesTable.close(), 1);
  ASSERT_EQ(tempTable.close(), 1);
  EXPECT_EQ(indexNames(sys("qb")), (std::vector<std::string>{"INDX_Path,U", "Physical Index"}));
  EXPECT_EQ(indexNames(sys("qbtmp")), (std::vector<std::string>{"INDX_Path,U", "Physical Index"}));
  EXPECT_EQ(verify(sys("qb")), 0);
}

// A notes table made elsewhere, whose paths ignore case, keeps that, and the
// temporary table compares paths as it does. A temporary table of the
// earlier layout, whose renames' copies cannot be told apart, is made anew.
TEST_F(OpenDatabase, KeepsTheNotesAndMakesAnEarlierTemporaryTableAnew) {
  Notes notes = makeNotes(40, "kept");
  ASSERT_EQ(createNotesTable(sys("qb").c_str(), "Path"), 1);
  writeNotes(sys("qb"), notes, false);
  writeNotes(sys("qbtmp"), makeNotes(25, "stale"));

  ASSERT_EQ(openDatabase(), 1);
  for (const auto& [path, remark] : notes) {
    ASSERT_EQ(notesTable.setField(0, path.c_str()), 1);
    ASSERT_EQ(notesTable.findKey(), 2) << path;
    ASSERT_EQ(notesTable.readRecord(0), 1);
    EXPECT_EQ(std::string(notesTable.getField(1)), remark);
  }
  EXPECT_EQ(tempTable.firstRecord(), -3);
  EXPECT_EQ(tempTable.fieldNumber(kKindField), 3);
  // The temporary table is writable and keyed on the path from the start.
  addNote(tempTable, "/home/Ada/set/aside.txt", "set aside");
  ASSERT_EQ(tempTable.setField(0, "/HOME/Ada/SET/aside.TXT"), 1);
  EXPECT_EQ(tempTable.findKey(), 2);
  EXPECT_EQ(notesTable.fieldType(0), kFieldText);
}

// Set-aside notes outlive a start until they expire: a deleted file's after
// SetAsideDays (0: at the next start), a rename's copy after
// RenameBackSeconds. An index file that cannot be used is rebuilt.
int64_t g_now = 0;
TEST_F(OpenDatabase, SetAsideNotesAreKeptAcrossStartsUntilTheyExpire) {
  int64_t (*const wall)() = set_aside_clock;
  set_aside_clock = [] { return g_now; };
  ASSERT_EQ(openDatabase(), 1);
  const int64_t now = 100 * 86400;
  struct Aside {
    const char* path;
    int64_t age;
    const char* kind;
  };
  for (const Aside& n : {Aside{"/d/old", 30 * 86400 + 1, kAsideDeleted}, Aside{"/d/young", 30 * 86400, kAsideDeleted},
                         Aside{"/r/old", 61, kAsideRenamed}, Aside{"/r/young", 60, kAsideRenamed}}) {
    g_now = now - n.age;
    ASSERT_EQ(tempTable.setField(0, n.path) + tempTable.setField(1, "note"), 2);
    stampSetAside(tempTable, n.kind);
    ASSERT_EQ(tempTable.addRecord(), 1);
  }
  const auto setAside = [] {
    std::vector<std::string> paths;
    for (int r = tempTable.firstRecord(); r == 1 && tempTable.readRecord(0) == 1; r = tempTable.nextRecord())
      paths.push_back(tempTable.getField(0));
    return paths;
  };
  g_now = now;
  ASSERT_EQ(tempTable.close(), 1);
  ASSERT_EQ(::unlink(sys("qbtmp.idx").c_str()), 0);
  ASSERT_EQ(openDatabase(), 1);
  EXPECT_EQ(setAside(), (std::vector<std::string>{"/d/young", "/r/young"}));
  ASSERT_EQ(tempTable.close(), 1);
  ASSERT_EQ(reg_write_number(RegHive::kLocalMachine, "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration",
                             "SetAsideDays", 0), 0);
  ASSERT_EQ(openDatabase(), 1);
  EXPECT_EQ(setAside(), std::vector<std::string>{});
  set_aside_clock = wall;
}

TEST_F(OpenDatabase, TemporaryTableThatCannotBeOpenedLeavesTheNotesTableOpen) {
  writeStatus(0);
  // A folder in place of the temporary data file can be neither deleted nor
  // created over nor opened.
  ASSERT_EQ(::mkdir(sys("qbtmp.db").c_str(), 0700), 0);

  EXPECT_EQ(openDatabase(), -1);
  EXPECT_EQ(tempTable.lastError(), kTbCannotOpen);
  EXPECT_FALSE(tempTable.isOpen());
  EXPECT_TRUE(notesTable.isOpen());
  EXPECT_EQ(status(), 0u);
}

// Refuses every delete and create of a temporary-table file, so that what
// lies there stays.
int refuseTempRemove(const char* name) {
  if (std::strstr(name, "qbtmp") != nullptr) {
    io_os_error = EACCES;
    return -1;
  }
  return io_default_table().remove(name);
}
int refuseTempCreate(const char* name) {
  if (std::strstr(name, "qbtmp") != nullptr) {
    io_os_error = EACCES;
    return -1;
  }
  return io_default_table().create(name);
}

TEST_F(OpenDatabase, TemporaryTableWithoutItsIndexClosesTheNotesTable) {
  writeStatus(0);
  {
    // A temporary table that opens but has no path index.
    TableHandle h;
    const char* fields[] = {"Path", "Remark", nullptr};
    ASSERT_EQ(h.create(sys("qbtmp").c_str(), fields, 512), 1);
    ASSERT_EQ(h.close(), 1);
  }
  g_file_io.remove = refuseTempRemove;
  g_file_io.create = refuseTempCreate;

  EXPECT_EQ(openDatabase(), -1);
  EXPECT_EQ(tempTable.lastError(), kTbNoSuchIndex);
  EXPECT_FALSE(notesTable.isOpen());
  EXPECT_EQ(status(), 0u);
}

TEST_F(OpenDatabase, SecondCallAfterAFailedOneOpensEverything) {
  ASSERT_EQ(::mkdir(sys("qbtmp.db").c_str(), 0700), 0);
  ASSERT_EQ(openDatabase(), -1);
  ASSERT_EQ(::rmdir(sys("qbtmp.db").c_str()), 0);
  ASSERT_EQ(openDatabase(), 1);  // notesTable was still open: open closes it first
  EXPECT_TRUE(notesTable.isOpen());
  EXPECT_TRUE(tempTable.isOpen());
  EXPECT_EQ(status(), 1u);
}

}  // namespace
