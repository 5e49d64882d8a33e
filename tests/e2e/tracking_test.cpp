// Notes following their files while the real Monitor runs, as one table of
// scenarios; then the Monitor's life as a process.
#include "e2e/e2e_support.h"

namespace e2e {
namespace {

// Steps (Running::step) run once per round ('#': its number); then the notes are `end`.
struct Scenario {
  const char* name;
  int rounds;
  std::vector<std::string> steps;
  const char* end;
};

const Scenario kScenarios[] = {
    {"RenameAndMovesAcrossFolders", 1,
     {"n docs/plan call Ann", "f archive/2024/", "mv docs/plan docs/plan2", "= docs/plan2=call Ann",
      "mv docs/plan2 archive/2024/plan", "= archive/2024/plan=call Ann", "mv archive/2024/plan final"},
     "final=call Ann"},
    // Nothing beside is re-keyed (proj2 has proj as a prefix); behind 500
    // deletions a folder and a file in it renamed at once: the disk moved on.
    {"FolderMoveReKeysEveryNoteInside", 1,
     {"n proj/ folder", "n proj/top top", "n proj/src/ src", "n proj/src/main.c main", "f proj/src/lib/empty/",
      "n proj/src/lib/util.c util", "f proj/src/unnoted.c", "n proj2/readme beside", "f archive/", "mv proj archive/p",
      "= archive/p=folder|archive/p/src=src|archive/p/src/lib/util.c=util|archive/p/src/main.c=main|"
      "archive/p/top=top|proj2/readme=beside",
      "mv archive/p/src/lib/util.c archive/p/src/lib/util2.c", "w archive/p/src/lib/util2.c util", "junk 500",
      "mv archive/p archive/q", "mv archive/q/top archive/q/top2"},
     "archive/q=folder|archive/q/src=src|archive/q/src/lib/util2.c=util|archive/q/src/main.c=main|"
     "archive/q/top2=top|proj2/readme=beside"},
    // `mkdir -p a/b/c && mv proj a/b/c/`: the rename may come before c is
    // watched, naming no target; c's listing then finds the folder.
    {"FolderMovedIntoAFolderJustMade", 5,
     {"n p#/ folder #", "n p#/src/main.c main #", "n p#/src/lib/util.c util #", "sync", "f a#/b/c/",
      "mv p# a#/b/c/p", "w a#/b/c/p folder #", "w a#/b/c/p/src/lib/util.c util #",
      "mv a#/b/c/p/src/main.c a#/b/c/p/src/main2.c"},
     "a#/b/c/p=folder #|a#/b/c/p/src/lib/util.c=util #|a#/b/c/p/src/main2.c=main #"},
    // `mkdir new && mv noted new/`: often only the half that left is reported.
    {"FileMovedIntoAFolderJustMade", 10, {"n noted# note #", "sync", "f new#/", "mv noted# new#/noted#"},
     "new#/noted#=note #"},
    // `mkdir -p a/b/c`, a file in c noted and renamed at once: c is watched in time.
    {"FileRenamedInAFolderJustMade", 3, {"n n#/b/c/first at once", "mv n#/b/c/first n#/b/c/second"},
     "n#/b/c/second=at once"},
    // A name differing only in case is another file; a rename to another case takes the note.
    {"DeletedThenRecreatedGetsItsNoteBack", 1,
     {"n report on Friday", "rm report", "=", "f report", "= report=on Friday", "f Report", "rm Report",
      "= report=on Friday", "mv report REPORT"},
     "REPORT=on Friday"},
    {"EditorSaveThroughABackupName", 1,
     {"n essay kept", "mv essay essay~", "f essay", "rm essay~", "= essay=kept", "mv essay essay~", "f essay",
      "rm essay~"},
     "essay=kept"},
    {"SaveThroughATemporaryRenamedOver", 1,
     {"n conf tuned", "f .conf.1", "mv .conf.1 conf", "= conf=tuned", "f .conf.2", "mv .conf.2 conf", "= conf=tuned",
      "n other the other", "mv other conf"},
     "conf=the other"},
    {"MovedOutOfTheRootsAndBack", 1,
     {"n photos/beach summer", "mv photos/beach ^beach", "=", "mv ^beach photos/beach", "= photos/beach=summer",
      "mv photos/beach ^beach", "mv ^beach photos/beach"},
     "photos/beach=summer"},
    {"QbnoteCpGivesTheCopyTheNote", 1,
     {"n letters/draft by May", "f sent/", "cp letters/draft sent/f", "cp letters/draft sent"},
     "letters/draft=by May|sent/f=by May|sent/draft=by May"},
    // Files moved while none runs are found by identity; a path holding a file again keeps its note.
    {"SetAsideNotesAndMovesWhileStoppedOutliveARestart", 1,
     {"n usb/photo trip", "n draft gone", "n b kept", "n c alone", "mv usb/photo ^photo", "rm draft",
      "= b=kept|c=alone", "stop", "f sub/", "mv c sub/c", "mv b d", "f b", "start", "mv ^photo usb/photo",
      "= usb/photo=trip|b=kept|sub/c=alone", "aside draft gone", "restore draft final", "aside draft"},
     "usb/photo=trip|b=kept|sub/c=alone|final=gone"},
    {"KilledMonitorRecoversEveryNote", 1,
     {"n d0/n0 zero", "n d0/n1 one", "n d1/n2 two", "n d1/n3 three", "n d2/n4 four", "mv d0/n0 d0/r0", "mv d1 d1m",
      "= d0/r0=zero|d0/n1=one|d1m/n2=two|d1m/n3=three|d2/n4=four", "kill", "mv d0/r0 d2/zero", "mv d1m d1b",
      "start", "= d2/zero=zero|d0/n1=one|d1b/n2=two|d1b/n3=three|d2/n4=four", "check", "mv d2/n4 d2/n4b"},
     "d2/zero=zero|d0/n1=one|d1b/n2=two|d1b/n3=three|d2/n4b=four"},
    {"ASecondMonitorLeaves", 1, {"second", "f .git/objects/a/", "n plain/objects/ watched", "mv plain moved"},
     "moved/objects=watched"},
    {"ARootMadeLaterOrAgainIsFollowed", 1,
     {"roots ^r", "stop", "start", "f ^r/in/f", "sync", "n ^r/in/f kept", "mv ^r/in/f ^r/in/g", "= ^r/in/g=kept",
      "mv ^r/in/g ^r/in/f", "rmr ^r", "=", "f ^r/in/f", "= ^r/in/f=kept", "mv ^r/in/f ^r/in/g", "rmr ^r"},
     ""},
};

void PrintTo(const Scenario& row, std::ostream* out) { *out << row.name; }
class Tracking : public Running, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Tracking, NotesEndWhereTheirFilesAre) {
  std::string end;
  for (int round = 1; round <= GetParam().rounds; ++round) {
    round_ = std::to_string(round);
    for (const std::string& s : GetParam().steps) ASSERT_NO_FATAL_FAILURE(step(s)) << "round " << round_ << ": " << s;
    end += "|" + std::string(GetParam().end);
    for (size_t h; (h = end.find('#')) != std::string::npos;) end.replace(h, 1, round_);
  }
  expect_notes(map_of(end));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Tracking, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& row) { return std::string(row.param.name); });

// `qbnote status` tells of the running Monitor. A stop right after bulk
// deletions handles the events queued behind them, a rename among them,
// before the table closes; then backs up (the table as the Monitor left it)
// and compacts; then status tells that none runs.
TEST_F(Running, StatusThenAStopRightAfterDeletions) {
  make(".git/objects/");  // a folder the Monitor ignores
  const std::string pid = std::to_string(monitors_[monitor_].pid);
  EXPECT_NE(qbnote({"status"}).out.find("running (pid " + pid + ","), std::string::npos);
  const ProgramRun json = qbnote({"status", "--json"});
  for (const std::string& part : {"{\"monitor\": true, \"pid\": " + pid + ",", std::string("\"folders_ignored\": 1,"),
                                  "\"roots\": [\"" + root_ + "\"]"})
    EXPECT_NE(json.out.find(part), std::string::npos) << part << " in " << json.out;
  const auto size = [&](const char* name) { return std::filesystem::file_size(home_ + "/system/" + name); };
  Notes kept;
  std::string lines;
  for (int i = 0; i < 400; ++i) {
    const std::string f = make("f" + std::to_string(i)), text = std::to_string(i) + std::string(60, 'x');
    lines += "{\"path\": \"" + f + "\", \"note\": \"" + text + "\"}\n";
    if (i % 2 == 1) kept[i == 399 ? at("last") : f] = text;
  }
  ASSERT_EQ(qbnote({"import", "-"}, lines).status, 0);
  barrier();
  const uintmax_t before = size("qb.db");
  for (int i = 0; i < 400; i += 2) step("rm f" + std::to_string(i));  // the freed records lie all through the file
  step("mv f399 last");
  step("stop");
  EXPECT_EQ(monitor_log(monitor_).find("not handled"), std::string::npos) << monitor_log(monitor_);
  EXPECT_EQ(size("qbbak.db"), before);
  EXPECT_LT(size("qb.db"), before - 200 * 60);
  step("check");
  EXPECT_EQ(notes_under(), kept);
  EXPECT_EQ(run_program(tmp_.path(), QBMON_BIN, {"--stop"}).status, 1);  // none runs now
  EXPECT_TRUE(qbnote({"status", "--json"}).out.starts_with("{\"monitor\": false, \"notes\": "));
  EXPECT_EQ(qbnote({"status"}).status, 3);
}

}  // namespace
}  // namespace e2e
