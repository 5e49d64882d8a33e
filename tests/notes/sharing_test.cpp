// qbnote beside other processes: sets at once, the Monitor starting or stopping,
// races forced through the hook before an add, scans beside a writer, held locks, Ctrl-C.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "btree/index_file.h"
#include "notes/json.h"
#include "notes/notes.h"
#include "notes/notes_table.h"
#include "platform/profile.h"
#include "qbnote_run.h"
#include "support/fork_helper.h"
#include "table_handle/table_handle.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

namespace {

using NotesSharing = QbnoteTest;

// Four sets race to create the table, then to replace one note: one text wins, whole.
TEST_F(NotesSharing, FourSetsAtOnceLoseNothing) {
  const std::string own[4] = {make("p0"), make("p1"), make("p2"), make("p3")}, shared = make("shared");
  for (int round = 0; round < 3; ++round) {
    std::vector<StartedProgram> sets;
    std::vector<std::string> texts;
    for (int i = 0; i < 4; ++i) {
      texts.emplace_back(6000 + 1000 * i, static_cast<char>('a' + i + 4 * round));
      sets.push_back(start({"set", round == 0 ? own[i] : shared, "-"}, texts.back()));
    }
    for (const StartedProgram& p : sets) EXPECT_EQ(finish(p).status, 0) << "round " << round;
    for (int i = 0; i < 4 && round == 0; ++i) EXPECT_EQ(run({"get", own[i]}).out, texts[i] + "\n") << i;
    const std::string got = run({"get", shared}).out;
    if (round > 0) { EXPECT_NE(std::find(texts.begin(), texts.end(), got.substr(0, got.size() - 1)), texts.end()); }
  }
  EXPECT_EQ(run({"check"}).status, 0);
  const std::string all = run({"export"}).out;
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 5);
}

// The Monitor's first start beside a first set: neither creates the table over the other's.
TEST_F(NotesSharing, FirstStartBesideAFirstSetKeepsTheNote) {
  const std::string path = make("first");
  for (int round = 0; round < 12; ++round) {
    home_ = tmp_.path() + "/state" + std::to_string(round);
    const StartedProgram set = start({"set", path, "kept"});
    Child monitor = fork_child([this](int, int) { return ::setenv("QB_HOME", home_.c_str(), 1), openDatabase(); });
    EXPECT_EQ(finish(set).status, 0) << round;
    EXPECT_EQ(wait_child(monitor), 1) << round;
    EXPECT_EQ(run({"get", path}).out, "kept\n") << round;
  }
}

// The Monitor stops again and again beside sets: each note is kept, or the set says busy.
TEST_F(NotesSharing, SetsDuringTheMonitorsStopAreKeptOrRefused) {
  Child monitor = fork_child([this](int in_fd, int out_fd) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    if (openDatabase() != 1 || notesTable.lockTable(2) != 1) return 10;  // one commit for the lot
    for (int i = 0; i < 3000; ++i) {
      const std::string path = "/home/Ada/bulk/" + std::to_string(i);
      if (notesTable.setField(0, path.c_str()) != 1 || notesTable.setField(1, "bulk") != 1) return 11;
      if (notesTable.addRecord() != 1) return 11;
    }
    if (notesTable.unlockTable(2) != 1 || send_byte(out_fd, 'R') != 1) return 11;
    char b;
    for (int round = 0; recv_byte(in_fd, &b, 0) != 1; ++round) {
      if (round > 0 && openDatabase() != 1) return 12;
      (void)profile_write(kProfileSection, kModifiedKey, "1");
      closeDatabase();
    }
    return 0;
  });
  char ready = 0;
  ASSERT_EQ(recv_byte(monitor.from_child, &ready), 1);
  std::vector<StartedProgram> sets;
  for (int i = 0; i < 24; ++i) sets.push_back(start({"set", make("during/" + std::to_string(i)), "during"}));
  std::vector<int> status;
  for (const StartedProgram& p : sets) status.push_back(finish(p).status);
  EXPECT_EQ(send_byte(monitor.to_child, 'S'), 1);
  EXPECT_EQ(wait_child(monitor), 0);
  for (int i = 0; i < 24; ++i) {
    ASSERT_TRUE(status[i] == kExitDone || status[i] == kExitHeld) << status[i];
    if (status[i] == kExitDone) { EXPECT_EQ(run({"get", files_ + "/during/" + std::to_string(i)}).out, "during\n"); }
  }
}

// Between look-up and add, another qbnote adds the path (replaced) or the files are swapped (refused).
QbnoteTest* g_fixture = nullptr;
std::string g_path;
bool g_ran = false;  // the other qbnote ran and added the path

TEST_F(NotesSharing, AnAddThatLosesARaceIsNeverLost) {
  g_fixture = this;
  ASSERT_EQ(run({"set", make("other"), "x"}).status, 0);
  for (int replaced = 0; replaced < 2; ++replaced) {
    g_path = make(replaced ? "replaced" : "raced");
    Child child = fork_child([replaced](int, int) {
      ::setenv("QB_HOME", g_fixture->home_.c_str(), 1);
      notes_before_add = !replaced ? [] { g_ran = g_ran || g_fixture->run({"set", g_path, "won"}).status == 0; } : [] {
        for (const std::string& file : {g_fixture->notes_db(), g_fixture->notes_idx()}) {
          std::filesystem::copy_file(file, file + ".copy");
          std::filesystem::rename(file + ".copy", file);
        }
      };
      NotesTable table;
      const int rc = table.open(NotesTable::kWriting) == kExitDone ? table.put(g_path, "mine") : 10;
      return replaced || g_ran ? rc : 12;
    });
    EXPECT_EQ(wait_child(child), replaced ? kExitHeld : kExitDone);
    EXPECT_EQ(run({"get", g_path}).out, replaced ? "" : "mine\n");
  }
  EXPECT_EQ(run({"check"}).status, 0);
}

// Sliced scans beside a writer and deletions: each path once, in order, every note whole.
std::string version_text(int k) {
  return "v" + std::to_string(k) + " " + std::string(1 + k * 131 % 2000, 'a' + k % 26);
}

TEST_F(NotesSharing, ScansInSlicesBesideAWriterListEachNoteOnceAndWhole) {
  constexpr int kPairs = 60;
  auto path = [](int i, char kind) { return "/scan/" + std::to_string(1000 + i) + kind; };
  std::string lines;
  for (int i = 0; i < kPairs; ++i)
    lines += json_note(path(i, 's'), "still " + std::to_string(i)) + "\n" + json_note(path(i, 'v'), version_text(0)) +
             "\n";
  ASSERT_EQ(run({"import", "-"}, lines).status, 0);
  Child writer = fork_child([&](int in_fd, int) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    ix_lock_settings = {1000, 1, 10000};  // tries again often enough to land in the scan's gaps
    NotesTable table;
    if (table.open(NotesTable::kChanging) != kExitDone) return 10;
    char b;
    for (int k = 1; recv_byte(in_fd, &b, 0) != 1; ++k) {
      const std::string p = path(k % kPairs, 'v');
      const int rc = k % 3 == 0 ? table.remove(p) : table.put(p, version_text(k));
      if (rc != kExitDone && rc != kExitNotFound) return 11;
      ::usleep(2000);  // and leaves gaps for the scan in turn
    }
    return 0;
  });
  // 20 order, 21 an untouched note wrong, 22 torn, 23 scan failed, 24 no change in 200 scans.
  Child scanner = fork_child([&](int, int) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    notes_scan_slices = {0, 2};
    ix_lock_settings = {1000, 1, 10000};
    NotesTable table;
    if (table.open(NotesTable::kReading) != kExitDone) return 23;
    std::vector<std::pair<std::string, std::string>> last;
    for (int scans = 0, changed = 0; changed < 3; ++scans) {
      std::vector<std::pair<std::string, std::string>> seen;
      if (scans == 200) return 24;
      auto take = [&](const std::string& p, const std::string& n) {
        if (!seen.empty() && !(seen.back().first < p)) ::_exit(20);
        seen.emplace_back(p, n);
        if (p.back() == 'v' && std::atoi(p.c_str() + 6) % 8 == 0) (void)run({"rm", p});  // gone by the next slice
      };
      if (table.scan("", take) != kExitDone) return 23;
      int still = 0;
      for (const auto& [p, n] : seen) {
        if (p.back() == 's' && (p != path(still, 's') || n != "still " + std::to_string(still++))) return 21;
        if (p.back() == 'v' && n != version_text(std::atoi(n.c_str() + 1))) return 22;
      }
      if (still != kPairs) return 21;
      changed += scans > 0 && seen != last;
      last = std::move(seen);
    }
    return 0;
  });
  EXPECT_EQ(wait_child(scanner), 0);
  EXPECT_EQ(send_byte(writer.to_child, 'S'), 1);
  EXPECT_EQ(wait_child(writer), 0);
}

// A child holds one note's record lock, then the table's write lock, as the Monitor does.
TEST_F(NotesSharing, HeldLocksGiveExit4AfterTheRetriesAndReadsGoOn) {
  const std::string a = make("a"), b = make("b");
  ASSERT_EQ(run({"set", a, "original"}).status, 0);
  ASSERT_EQ(run({"set", b, "neighbour"}).status, 0);
  for (const bool table : {false, true}) {
    Child holder = fork_child([&](int in_fd, int out_fd) {
      TableHandle t;
      if (t.open((home_ + "/system/qb").c_str(), 1) != 1 || t.setIndex("INDX_Path,U") != 1) return 10;
      if (t.setField(t.fieldNumber("Path"), a.c_str()) != 1 || t.findKey() != 2) return 11;
      int32_t lock_id = 0;
      if ((table ? t.lockTable(2) : t.lockRecord(&lock_id)) != 1 || send_byte(out_fd, 'L') != 1) return 12;
      char c;
      if (recv_byte(in_fd, &c, 60000) != 1) return 14;
      return (table ? t.unlockTable(2) : t.unlockRecord(lock_id)) == 1 && t.close() == 1 ? 0 : 15;
    });
    char c = 0;
    ASSERT_EQ(recv_byte(holder.from_child, &c), 1);
    const QbRun held = table ? run({"get", a}) : run({"set", a, "replacement"});
    EXPECT_EQ(held.status, kExitHeld);
    EXPECT_NE(held.err.find(table ? "is busy; try again" : "locked by another program"), std::string::npos) << held.err;
    if (!table) {
      EXPECT_NE(run({"ls", files_}).out.find(a + "\toriginal\n"), std::string::npos);  // read as it stands
      EXPECT_EQ(run({"set", b, "changed"}).status, 0);  // only that record is held
    }
    EXPECT_EQ(send_byte(holder.to_child, 'U'), 1);
    EXPECT_EQ(wait_child(holder), 0);
    EXPECT_EQ(run({"get", a}).out, "original\n");
  }
  EXPECT_EQ(run({"set", a, "replacement"}).status, 0);
  EXPECT_EQ(run({"get", b}).out, "changed\n");
  EXPECT_EQ(run({"check"}).status, 0);
}

// Regression: Ctrl-C inside an import once left the index file marked busy; what it stored stays.
TEST_F(NotesSharing, CtrlCDuringAnImportKeepsWhatItStored) {
  const std::string b = make("b"), fifo = tmp_.file("slow.jsonl");
  ASSERT_EQ(run({"set", make("a"), "x"}).status, 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const StartedProgram import = start({"import", fifo});
  const int feed = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(feed, 0);
  const std::string line = json_note(b, "typed") + "\n";
  ASSERT_EQ(::write(feed, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  ASSERT_TRUE(wait_pipe_read(feed)) << "the import never read its line";
  ASSERT_EQ(::kill(import.pid, SIGINT), 0);
  const QbRun stopped = finish(import);
  ::close(feed);
  EXPECT_EQ(stopped.status, -1) << stopped.err;
  EXPECT_NE(stopped.err.find("interrupted"), std::string::npos) << stopped.err;
  const QbRun got = run({"get", b});
  EXPECT_EQ(got.out, "typed\n");
  EXPECT_EQ(got.err, "");
  EXPECT_EQ(run({"check"}).status, 0);
}

}  // namespace
