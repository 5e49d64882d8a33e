// qbnote beside other programs: several qbnote processes at once, and a note
// whose record another process holds locked.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

#include "btree/index_file.h"
#include "notes/json.h"
#include "notes/notes.h"
#include "notes/notes_table.h"
#include "qbnote_run.h"
#include "support/fork_helper.h"
#include "platform/profile.h"
#include "table_handle/table_handle.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

namespace {

using NotesSharing = QbnoteTest;

// Four processes started at once, on a state folder without a notes table:
// they race to create it, then to add, then to replace.
TEST_F(NotesSharing, FourSetsAtOnceLoseNothing) {
  const std::string own[4] = {make("p0"), make("p1"), make("p2"), make("p3")};
  const std::string shared = make("shared");
  for (int round = 0; round < 3; ++round) {
    // Round 0 on a fresh state: different paths. Rounds 1 and 2: one path,
    // first added by all four at once, then replaced by all four at once.
    std::vector<pid_t> pids;
    std::vector<std::string> texts;
    for (int i = 0; i < 4; ++i) {
      std::string text(6000 + 1000 * i, static_cast<char>('a' + i + 4 * round));
      texts.push_back(text);
      pids.push_back(start({"set", round == 0 ? own[i] : shared, "-"}, text));
    }
    for (pid_t pid : pids) {
      QbRun r = finish(pid);
      EXPECT_EQ(r.status, 0) << "round " << round << ": " << r.err;
    }
    if (round == 0) {
      for (int i = 0; i < 4; ++i) EXPECT_EQ(run({"get", own[i]}).out, texts[i] + "\n") << i;
    } else {
      std::string got = run({"get", shared}).out;
      ASSERT_FALSE(got.empty());
      got.pop_back();
      bool whole = false;
      for (const std::string& t : texts) whole = whole || got == t;
      EXPECT_TRUE(whole) << "round " << round << ": a note of " << got.size() << " bytes is none of the texts";
    }
  }
  QbRun check = run({"check"});
  EXPECT_EQ(check.status, 0) << check.out;
  int notes = 0;
  for (char c : run({"export"}).out) notes += c == '\n';
  EXPECT_EQ(notes, 5);
}

// The Monitor's first start and a first qbnote set on a fresh state folder
// at once, round after round: neither may create the table over the other's.
TEST_F(NotesSharing, FirstStartBesideAFirstSetKeepsTheNote) {
  const std::string path = make("first");
  for (int round = 0; round < 12; ++round) {
    home_ = tmp_.path() + "/state" + std::to_string(round);
    pid_t set = start({"set", path, "kept"});
    Child monitor = fork_child([this](int, int) {
      ::setenv("QB_HOME", home_.c_str(), 1);
      return openDatabase();
    });
    QbRun r = finish(set);
    EXPECT_EQ(r.status, 0) << "round " << round << ": " << r.err;
    EXPECT_EQ(wait_child(monitor), 1) << "round " << round;
    EXPECT_EQ(run({"get", path}).out, "kept\n") << "round " << round;
  }
}

// The Monitor stops (backup and compaction) again and again while qbnote
// processes set notes: a set either waits for the stop and its note is kept,
// or reports the table busy; none reports a note that the stop then loses.
TEST_F(NotesSharing, SetsDuringTheMonitorsStopAreKeptOrRefused) {
  Child monitor = fork_child([this](int in_fd, int out_fd) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    if (openDatabase() != 1 || notesTable.lockTable(2) != 1) return 10;  // one commit for the lot
    for (int i = 0; i < 3000; ++i) {
      const std::string path = "/home/Ada/bulk/" + std::to_string(i);
      if (notesTable.setField(0, path.c_str()) != 1 || notesTable.setField(1, "bulk") != 1 ||
          notesTable.addRecord() != 1)
        return 11;
    }
    if (notesTable.unlockTable(2) != 1) return 11;
    (void)send_byte(out_fd, 'R');
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
  std::vector<std::pair<pid_t, std::string>> sets;
  for (int i = 0; i < 24; ++i) {
    const std::string path = make("during/" + std::to_string(i));
    sets.emplace_back(start({"set", path, "set during the stop"}), path);
  }
  std::vector<QbRun> results;
  for (const auto& set : sets) results.push_back(finish(set.first));
  EXPECT_EQ(send_byte(monitor.to_child, 'S'), 1);
  EXPECT_EQ(wait_child(monitor), 0);
  for (size_t i = 0; i < sets.size(); ++i) {
    ASSERT_TRUE(results[i].status == 0 || results[i].status == 4) << results[i].err;
    if (results[i].status == 0) {
      EXPECT_EQ(run({"get", sets[i].second}).out, "set during the stop\n") << i;
    }
  }
}

// The add race made certain: another qbnote adds the path between this
// process's look-up (no note) and its add. The add fails on the unique index
// and the note is replaced instead.
QbnoteTest* g_fixture = nullptr;
std::string g_race_path;
bool g_race_ran = false;

TEST_F(NotesSharing, AnAddThatLosesTheRaceReplacesTheWinnersNote) {
  g_race_path = make("raced");
  ASSERT_EQ(run({"set", make("other"), "x"}).status, 0);
  g_fixture = this;
  Child child = fork_child([this](int, int) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    notes_before_add = [] {
      if (g_race_ran) return;
      g_race_ran = true;
      if (g_fixture->run({"set", g_race_path, "winner"}).status != 0) ::_exit(13);
    };
    NotesTable table;
    if (table.open(NotesTable::kWriting) != kExitDone) return 10;
    if (table.put(g_race_path, "replaced the winner") != kExitDone) return 11;
    return g_race_ran ? 0 : 12;
  });
  EXPECT_EQ(wait_child(child), 0);
  EXPECT_EQ(run({"get", g_race_path}).out, "replaced the winner\n");
  EXPECT_EQ(run({"check"}).status, 0);
}

// A scan read in slices of one note, while another process replaces and
// deletes every other note, and some notes the scan has just handed over are
// deleted before its next slice: each slice goes on after the last path it
// read, whether that note is still there or not. Every scan lists each path
// once, in order, every untouched note exactly, and each changed note whole.
std::string version_text(int k) { return "v" + std::to_string(k) + " " + std::string(1 + k * 131 % 2000, 'a' + k % 26); }

TEST_F(NotesSharing, ScansInSlicesBesideAWriterListEachNoteOnceAndWhole) {
  constexpr int kPairs = 60;
  std::string lines;
  auto path = [](int i, char kind) { return "/scan/" + std::to_string(1000 + i) + kind; };
  for (int i = 0; i < kPairs; ++i)
    lines += json_note(path(i, 's'), "still " + std::to_string(i)) + "\n" + json_note(path(i, 'v'), version_text(0)) + "\n";
  ASSERT_EQ(run({"import", "-"}, lines).status, 0);
  Child writer = fork_child([&](int in_fd, int) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    ix_lock_settings = {1000, 1, 10000};  // tries again often enough to land in the scan's gaps
    NotesTable table;
    if (table.open(NotesTable::kChanging) != kExitDone) return 10;
    char b;
    for (int k = 1; recv_byte(in_fd, &b, 0) != 1; ++k) {
      const int rc = k % 3 == 0 ? table.remove(path(k % kPairs, 'v')) : table.put(path(k % kPairs, 'v'), version_text(k));
      if (rc != kExitDone && rc != kExitNotFound) return 11;
      ::usleep(2000);  // and leaves gaps for the scan in turn
    }
    return 0;
  });
  // Exit 0, or: 20 a path out of order or twice, 21 an untouched note
  // missing or changed, 22 a torn note, 23 a scan failed, 24 the writer
  // changed nothing during 200 scans.
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

// A program that ignores the creation lock puts copies in the table files'
// place between the look-up and the add: the note went into the old file,
// and the set says so instead of reporting it written.
TEST_F(NotesSharing, AnAddIntoAReplacedTableIsNotReportedWritten) {
  g_race_path = make("replaced");
  g_fixture = this;
  ASSERT_EQ(run({"set", make("other"), "x"}).status, 0);
  Child child = fork_child([this](int, int) {
    ::setenv("QB_HOME", home_.c_str(), 1);
    notes_before_add = [] {
      for (const std::string& file : {g_fixture->notes_db(), g_fixture->notes_idx()}) {
        std::filesystem::copy_file(file, file + ".copy");
        std::filesystem::rename(file + ".copy", file);
      }
    };
    NotesTable table;
    return table.open(NotesTable::kWriting) == kExitDone ? table.put(g_race_path, "into the old file") : 10;
  });
  EXPECT_EQ(wait_child(child), kExitHeld);
  EXPECT_EQ(run({"get", g_race_path}).status, kExitNotFound);
}

// A child process holds the record lock of one note through the table
// handle, as the Monitor does while it rewrites a note, or the table's
// write lock, as it does while it moves a folder's notes.
class NotesLocked : public QbnoteTest {
 protected:
  Child hold_lock(const std::string& path, bool table = false) {
    const std::string base = home_ + "/system/qb";
    Child child = fork_child([base, path, table](int in_fd, int out_fd) {
      TableHandle t;
      if (t.open(base.c_str(), 1) != 1 || t.setIndex("INDX_Path,U") != 1) return 10;
      if (t.setField(t.fieldNumber("Path"), path.c_str()) != 1 || t.findKey() != 2) return 11;
      int32_t lock_id = 0;
      if (table ? t.lockTable(2) != 1 : t.lockRecord(&lock_id) != 1) return 12;
      if (send_byte(out_fd, 'L') != 1) return 13;
      char b;
      if (recv_byte(in_fd, &b, 60000) != 1) return 14;
      return (table ? t.unlockTable(2) : t.unlockRecord(lock_id)) == 1 && t.close() == 1 ? 0 : 15;
    });
    char b = 0;
    EXPECT_EQ(recv_byte(child.from_child, &b), 1);
    EXPECT_EQ(b, 'L');
    return child;
  }
  void release(Child& child) {
    EXPECT_EQ(send_byte(child.to_child, 'U'), 1);
    EXPECT_EQ(wait_child(child), 0);
  }
};

TEST_F(NotesLocked, ChangesWaitForTheEngineRetriesThenExit4) {
  const std::string a = make("a"), b = make("b");
  ASSERT_EQ(run({"set", a, "original"}).status, 0);
  ASSERT_EQ(run({"set", b, "neighbour"}).status, 0);
  Child holder = hold_lock(a);
  QbRun listed = run({"ls", files_});  // a scan reads the locked note as it stands
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find(a + "\toriginal\n"), std::string::npos) << listed.out;

  const auto began = std::chrono::steady_clock::now();
  QbRun set = run({"set", a, "replacement"});
  const auto waited = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(set.status, 4);
  EXPECT_NE(set.err.find("locked by another program"), std::string::npos) << set.err;
  EXPECT_GE(waited, std::chrono::milliseconds(500));  // it retried before giving up
  EXPECT_EQ(run({"rm", a}).status, 4);
  EXPECT_EQ(run({"set", b, "changed"}).status, 0);  // only that record is held

  release(holder);
  EXPECT_EQ(run({"get", a}).out, "original\n");
  EXPECT_EQ(run({"set", a, "replacement"}).status, 0);
  EXPECT_EQ(run({"get", a}).out, "replacement\n");
  EXPECT_EQ(run({"get", b}).out, "changed\n");
  EXPECT_EQ(run({"check"}).status, 0);

  holder = hold_lock(a, true);
  QbRun busy = run({"get", a});
  EXPECT_EQ(busy.status, 4);
  EXPECT_NE(busy.err.find("is busy; try again"), std::string::npos) << busy.err;
  release(holder);
}

}  // namespace
