// Notes following their files while the real Monitor runs: renames and
// moves of files and folders, deletions and re-creations, the two common
// ways editors save, moves out of the watched tree and back, copies made
// with `qbnote cp`, and a file noted and renamed in a folder made an
// instant earlier. Each test runs one Monitor and ends with `qbmon --stop`.

#include "e2e/e2e_support.h"

namespace e2e {
namespace {

class Tracking : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    monitor_ = start_monitor();
    ASSERT_TRUE(wait_ready(monitor_));
  }
  void TearDown() override {
    if (!ended(monitor_)) stop(monitor_);
    E2eTest::TearDown();
  }

  size_t monitor_ = 0;
};

TEST_F(Tracking, RenameInAFolderAndMovesAcrossFoldersCarryTheNote) {
  const std::string plan = make_file("docs/plan.txt");
  make_folder("archive/2024");
  set_note(plan, "call Ann");

  move(plan, at("docs/plan-v2.txt"));
  ASSERT_TRUE(wait_note(at("docs/plan-v2.txt"), "call Ann"));
  EXPECT_FALSE(note(plan));

  move(at("docs/plan-v2.txt"), at("archive/2024/plan.txt"));
  ASSERT_TRUE(wait_note(at("archive/2024/plan.txt"), "call Ann"));

  // And up again, under yet another name.
  move(at("archive/2024/plan.txt"), at("final.txt"));
  ASSERT_TRUE(wait_note(at("final.txt"), "call Ann"));
  EXPECT_EQ(notes_under(), (std::map<std::string, std::string>{{at("final.txt"), "call Ann"}}));
}

TEST_F(Tracking, FolderMoveReKeysEveryNoteInsideAndNothingBeside) {
  set_note(make_folder("proj"), "the project");
  set_note(make_file("proj/top.txt"), "top");
  set_note(make_folder("proj/src"), "sources");
  set_note(make_file("proj/src/main.c"), "entry");
  make_folder("proj/src/lib/empty");
  set_note(make_file("proj/src/lib/util.c"), "two levels down");
  make_file("proj/src/unnoted.c");
  // Beside it, a name the folder's is a prefix of.
  set_note(make_file("proj2/readme"), "not inside");
  make_folder("archive");

  move(at("proj"), at("archive/proj-2024"));
  ASSERT_TRUE(wait_note(at("archive/proj-2024"), "the project"));
  const std::map<std::string, std::string> expected = {
      {at("archive/proj-2024"), "the project"},
      {at("archive/proj-2024/src"), "sources"},
      {at("archive/proj-2024/src/lib/util.c"), "two levels down"},
      {at("archive/proj-2024/src/main.c"), "entry"},
      {at("archive/proj-2024/top.txt"), "top"},
      {at("proj2/readme"), "not inside"},
  };
  EXPECT_EQ(notes_under(), expected);

  // The moved folders are still watched under their new names.
  move(at("archive/proj-2024/src/lib/util.c"), at("archive/proj-2024/src/lib/util2.c"));
  EXPECT_TRUE(wait_note(at("archive/proj-2024/src/lib/util2.c"), "two levels down"));

  // Behind 500 deletions, the folder renamed and a file inside renamed at
  // once: by the time the folder's event is handled, the disk moved on.
  for (int i = 0; i < 500; ++i) ::unlink(make_file("junk/" + std::to_string(i)).c_str());
  move(at("archive/proj-2024"), at("archive/p"));
  move(at("archive/p/top.txt"), at("archive/p/top2.txt"));
  EXPECT_TRUE(wait_note(at("archive/p/top2.txt"), "top"));
}

// `mkdir -p archive/... && mv proj archive/...`: the rename may happen
// before the new folder is watched, so that no half of it names the
// target; the folder then turns up in the new folder's listing.
TEST_F(Tracking, FolderMovedIntoAFolderJustMadeReKeysItsNotes) {
  for (int round = 1; round <= 5; ++round) {
    const std::string r = std::to_string(round);
    set_note(make_folder("proj" + r), "folder " + r);
    set_note(make_file("proj" + r + "/src/main.c"), "main " + r);
    set_note(make_file("proj" + r + "/src/lib/util.c"), "util " + r);
    barrier();

    const std::string into = at("archive" + r + "/a/b/c");
    make_parents(into + "/");
    move(at("proj" + r), into + "/proj");
    EXPECT_TRUE(wait_note(into + "/proj", "folder " + r)) << "round " << round;
    EXPECT_TRUE(wait_note(into + "/proj/src/lib/util.c", "util " + r)) << "round " << round;
    EXPECT_EQ(note(into + "/proj/src/main.c"), "main " + r) << "round " << round;
    EXPECT_EQ(notes_under(at("proj" + r)), (std::map<std::string, std::string>{})) << "round " << round;
    // Still watched at its new place.
    move(into + "/proj/src/main.c", into + "/proj/src/main2.c");
    EXPECT_TRUE(wait_note(into + "/proj/src/main2.c", "main " + r)) << "round " << round;
  }
}

TEST_F(Tracking, DeletedThenRecreatedFileGetsItsNoteBack) {
  const std::string f = make_file("report.odt");
  set_note(f, "send on Friday");

  ASSERT_EQ(::unlink(f.c_str()), 0);
  ASSERT_TRUE(wait_no_note(f));
  make_file("report.odt", "written anew\n");
  EXPECT_TRUE(wait_note(f, "send on Friday"));
  // A name that differs only in case is another file: it comes and goes
  // without taking this note along.
  make_file("Report.odt");
  ASSERT_EQ(::unlink(at("Report.odt").c_str()), 0);
  barrier();
  EXPECT_EQ(notes_under(), (std::map<std::string, std::string>{{f, "send on Friday"}}));
  // Renamed to another case, the file takes the note along.
  move(f, at("REPORT.odt"));
  EXPECT_TRUE(wait_note(at("REPORT.odt"), "send on Friday"));
  EXPECT_EQ(notes_under(), (std::map<std::string, std::string>{{at("REPORT.odt"), "send on Friday"}}));
}

// rename(f, f~), write f, unlink(f~): the note goes to f~ and aside under
// f; f's creation brings it back; f~'s deletion sets its copy aside.
TEST_F(Tracking, EditorSaveThroughABackupNameKeepsTheNote) {
  const std::string f = make_file("essay.txt", "draft 1\n");
  set_note(f, "for the journal");

  for (int save = 2; save <= 3; ++save) {
    move(f, f + "~");
    make_file("essay.txt", "draft " + std::to_string(save) + "\n");
    ASSERT_EQ(::unlink((f + "~").c_str()), 0);
    barrier();
    EXPECT_EQ(note(f), "for the journal") << "save " << save;
    EXPECT_FALSE(note(f + "~")) << "save " << save;
  }
  EXPECT_EQ(read_whole_file(f), "draft 3\n");
  EXPECT_EQ(notes_under(), (std::map<std::string, std::string>{{f, "for the journal"}}));
}

// A temporary file written beside the original and renamed over it: the
// rename's source has no note, so the original's stays; a noted file
// renamed over it brings its own.
TEST_F(Tracking, SaveThroughATemporaryFileRenamedOverKeepsTheNote) {
  const std::string f = make_file("config.toml", "a = 1\n");
  set_note(f, "hand-tuned");

  for (int save = 1; save <= 2; ++save) {
    const std::string temporary = at(".config.toml.tmp" + std::to_string(save));
    ASSERT_TRUE(write_whole_file(temporary, "a = " + std::to_string(save + 1) + "\n"));
    move(temporary, f);
    barrier();
    EXPECT_EQ(note(f), "hand-tuned") << "save " << save;
    EXPECT_FALSE(note(temporary)) << "save " << save;
  }
  EXPECT_EQ(notes_under(), (std::map<std::string, std::string>{{f, "hand-tuned"}}));
  // A file with a note of its own renamed over it takes that note along.
  set_note(make_file("other.toml"), "the other");
  move(at("other.toml"), f);
  ASSERT_TRUE(wait_note(f, "the other"));
  EXPECT_EQ(notes_under(), (std::map<std::string, std::string>{{f, "the other"}}));
}

TEST_F(Tracking, MovedOutOfTheRootsAndBackGetsItsNoteBack) {
  const std::string f = make_file("photos/beach.jpg");
  set_note(f, "summer");

  move(f, outside_ + "/beach.jpg");
  ASSERT_TRUE(wait_no_note(f));
  move(outside_ + "/beach.jpg", f);
  EXPECT_TRUE(wait_note(f, "summer"));

  // Out and straight back, without waiting in between.
  move(f, outside_ + "/beach.jpg");
  move(outside_ + "/beach.jpg", f);
  barrier();
  EXPECT_EQ(note(f), "summer");
}

// A file moved out for longer than one run of the Monitor still gets its
// note back; and a set-aside note is listed and restored by hand.
TEST_F(Tracking, SetAsideNotesOutliveARestart) {
  const std::string f = make_file("usb/photo.jpg"), g = make_file("draft.txt");
  set_note(f, "from the trip");
  set_note(g, "gone for good");
  move(f, outside_ + "/photo.jpg");
  ASSERT_EQ(::unlink(g.c_str()), 0);
  ASSERT_TRUE(wait_no_note(f));
  ASSERT_TRUE(wait_no_note(g));
  stop(monitor_);
  monitor_ = start_monitor();
  ASSERT_TRUE(wait_ready(monitor_));
  move(outside_ + "/photo.jpg", f);
  EXPECT_TRUE(wait_note(f, "from the trip"));

  ProgramRun listed = qbnote({"ls", "--set-aside", g});
  EXPECT_EQ(listed.out.rfind(g + "\t", 0), 0u) << listed.out;
  EXPECT_NE(listed.out.find("\tdeleted\tgone for good\n"), std::string::npos) << listed.out;
  EXPECT_EQ(qbnote({"restore", g, at("final.txt")}).status, 0);
  EXPECT_EQ(note(at("final.txt")), "gone for good");
  EXPECT_EQ(qbnote({"ls", "--set-aside", g}).out, "");
}

TEST_F(Tracking, QbnoteCpGivesTheCopyTheNote) {
  const std::string src = make_file("letters/draft.md", "Dear Ann,\n");
  make_folder("sent");
  set_note(src, "reply by May");

  ProgramRun cp = qbnote({"cp", src, at("sent/final.md")});
  ASSERT_EQ(cp.status, 0) << cp.err;
  EXPECT_TRUE(wait_note(at("sent/final.md"), "reply by May"));
  EXPECT_EQ(read_whole_file(at("sent/final.md")), "Dear Ann,\n");
  // Into a folder, under the source's name; the source keeps its note.
  cp = qbnote({"cp", src, at("sent")});
  ASSERT_EQ(cp.status, 0) << cp.err;
  EXPECT_TRUE(wait_note(at("sent/draft.md"), "reply by May"));
  EXPECT_EQ(note(src), "reply by May");
}

// `mkdir -p a/b/c` and a file in c, noted and renamed at once: c's watch
// must be in place before the rename even though the folders came faster
// than any watcher.
TEST_F(Tracking, FileRenamedInAFolderJustMadeKeepsItsNote) {
  for (int round = 1; round <= 3; ++round) {
    const std::string top = "new" + std::to_string(round);
    const std::string f = make_file(top + "/b/c/first.txt");
    set_note(f, "noted at once");
    move(f, at(top + "/b/c/second.txt"));
    EXPECT_TRUE(wait_note(at(top + "/b/c/second.txt"), "noted at once")) << "round " << round;
  }
}

// `mkdir new && mv noted.txt new/`: the move usually happens before the
// Monitor watches the new folder, so the kernel reports only the half of
// the rename that left, and the new folder's listing finds the file.
TEST_F(Tracking, FileMovedIntoAFolderJustMadeKeepsItsNote) {
  constexpr int kRounds = 10;
  for (int round = 1; round <= kRounds; ++round) {
    const std::string r = std::to_string(round);
    const std::string f = make_file("noted" + r + ".txt");
    set_note(f, "note " + r);
    barrier();
    const std::string into = at("new" + r);
    ASSERT_EQ(::mkdir(into.c_str(), 0700), 0);
    move(f, into + "/noted" + r + ".txt");
  }
  barrier();
  std::map<std::string, std::string> expected;
  for (int round = 1; round <= kRounds; ++round) {
    const std::string r = std::to_string(round);
    expected[at("new" + r + "/noted" + r + ".txt")] = "note " + r;
  }
  EXPECT_EQ(notes_under(), expected);
}

}  // namespace
}  // namespace e2e
