// Shutdown compaction of the notes table against SQLite's VACUUM of the same
// notes.
//
//   ./build/bench/compaction_bench [--notes N] [--deletes D] [--dir PATH]
//
// Ours: a notes table of N notes with D of them deleted (so it holds free
// blocks) is opened as the Monitor opens it, "MODIFIED" is set, and
// closeDatabase runs: backup copy of both files, then copyTable of the
// backup into a fresh notes table. Timed as a whole, and then once more step
// by step from the same uncompacted table: the backup copy alone and the
// copyTable alone.
//
// SQLite: notes(path TEXT COLLATE NOCASE, remark TEXT) with a unique index
// on path, page_size 512, default journal and synchronous settings, the
// same N notes inserted and the same D deleted; VACUUM is timed.
//
// Notes: absolute paths of 30..120 bytes in mixed case, unique ignoring A-Z
// case, remarks of 20..300 bytes; fixed seed. Speed-up = SQLite's time /
// ours (above 1.0: ours is faster). Files go to a fresh folder under --dir
// (default $TMPDIR or /tmp), removed at the end.
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/engine.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "records/records.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time of this process so far: user and system, in seconds.
void cpuSeconds(double* user, double* system) {
  rusage u{};
  (void)getrusage(RUSAGE_SELF, &u);
  *user = static_cast<double>(u.ru_utime.tv_sec) + static_cast<double>(u.ru_utime.tv_usec) / 1e6;
  *system = static_cast<double>(u.ru_stime.tv_sec) + static_cast<double>(u.ru_stime.tv_usec) / 1e6;
}

struct Note {
  std::string path;
  std::string remark;
};

const char* const kTops[] = {"/home/ada", "/home/Grace", "/home/linus", "/srv/Shared", "/mnt/Data/ken",
                             "/opt/Tools", "/var/lib/projects"};
const char* const kDirs[] = {"Projects", "Documents", "src", "include", "Build", "Tests", "docs", "Images",
                             "Reports", "2023", "2024", "Notes", "Archive", "scripts", "Config", "Photos",
                             "Drafts", "Invoices", "Clients", "thesis", "chapter-2", "WebSite", "Results"};
const char* const kNames[] = {"Main", "readme", "index", "Report", "invoice", "budget", "Summary", "draft",
                              "IMG", "DSC", "config", "Design", "todo", "Letter", "minutes", "Plan"};
const char* const kExts[] = {".cpp", ".h", ".md", ".txt", ".PNG", ".jpg", ".pdf", ".docx", ".csv", ""};
const char* const kWords[] = {"check", "the", "figures", "before", "sending", "draft", "of", "chapter",
                              "needs", "a", "new", "intro", "keep", "until", "March", "ask", "about",
                              "licence", "moved", "from", "backup", "see", "ticket", "#4821", "final"};

template <size_t N>
const char* pick(std::mt19937_64& rng, const char* const (&list)[N]) {
  return list[rng() % N];
}

std::string folded(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::vector<Note> makeNotes(int64_t count, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::unordered_set<std::string> seen;
  std::vector<Note> notes;
  notes.reserve(static_cast<size_t>(count));
  while (static_cast<int64_t>(notes.size()) < count) {
    std::string path = pick(rng, kTops);
    for (int depth = 1 + static_cast<int>(rng() % 6); depth > 0; --depth) path += std::string("/") + pick(rng, kDirs);
    path += std::string("/") + pick(rng, kNames) + "_" + std::to_string(rng() % 1000000) + pick(rng, kExts);
    if (path.size() < 30 || path.size() > 120 || !seen.insert(folded(path)).second) continue;
    std::string remark;
    size_t length = 20 + rng() % 281;
    while (remark.size() < length) remark += std::string(remark.empty() ? "" : " ") + pick(rng, kWords);
    remark.resize(length);
    notes.push_back({std::move(path), std::move(remark)});
  }
  return notes;
}

bool fail(const char* what) {
  std::fprintf(stderr, "compaction_bench: %s failed (engine error %d)\n", what, tb_get_error());
  return false;
}

// Counts the records of the closed table `base` along its path index.
int64_t countNotes(const std::string& base) {
  Table* t = tb_open(base.c_str(), 0, 1);
  if (t == nullptr) return -1;
  TableIndex* ix = tb_find_index(t, kPathIndex);
  int64_t n = 0;
  int rc = ix == nullptr ? -1 : tb_first_record(t, ix);
  for (; rc == 1; rc = tb_next_record(t, ix)) ++n;
  (void)tb_close(t);
  return rc == -3 ? n : -1;
}

struct OurTimes {
  double total = 0, backup = 0, copy = 0;
  double copyUser = 0, copySystem = 0;  // processor time of the copyTable step
  int64_t before = 0, after = 0;  // data-file bytes
};

bool runOurs(const std::vector<Note>& notes, const std::vector<size_t>& deletes, OurTimes* out) {
  char base[kPathBuffer], backupBase[kPathBuffer];
  if (systemFilePath(base, "qb") != 1 || systemFilePath(backupBase, "qbbak") != 1) return fail("system directory");
  std::string db = std::string(base) + ".db", idx = std::string(base) + ".idx";
  std::string bakDb = std::string(backupBase) + ".db", bakIdx = std::string(backupBase) + ".idx";

  // Build the table exclusively (not timed), then delete.
  if (createNotesTable(base) != 1) return fail("createNotesTable");
  {
    TableHandle h;
    if (h.open(base, 0) != 1) return fail("open");
    for (const Note& n : notes)
      if (h.setField(0, n.path.c_str()) != 1 || h.setField(1, n.remark.c_str()) != 1 || h.addRecord() != 1)
        return fail("addRecord");
    for (size_t i : deletes)
      if (h.setField(0, notes[i].path.c_str()) != 1 || h.findKey() != 2 || h.deleteRecord() != 1)
        return fail("deleteRecord");
    if (h.close() != 1) return fail("close");
  }
  out->before = static_cast<int64_t>(std::filesystem::file_size(db));

  // As at shutdown: the database open as the Monitor opens it, MODIFIED set.
  if (openDatabase() != 1) return fail("openDatabase");
  if (profile_write(kProfileSection, kModifiedKey, "1") != 0) return fail("profile_write");
  auto start = Clock::now();
  closeDatabase();
  out->total = secondsSince(start);
  if (profile_read_number(kProfileSection, kModifiedKey, 0) != 0) return fail("closeDatabase (MODIFIED still set)");
  out->after = static_cast<int64_t>(std::filesystem::file_size(db));
  int64_t expected = static_cast<int64_t>(notes.size() - deletes.size());
  if (countNotes(base) != expected || countNotes(backupBase) != expected) return fail("record count after compaction");

  // The two steps on their own, from the same uncompacted table.
  if (qb_copy_file(bakDb.c_str(), db.c_str(), false) != 0 || qb_copy_file(bakIdx.c_str(), idx.c_str(), false) != 0)
    return fail("putting the uncompacted table back");
  start = Clock::now();
  if (qb_copy_file(db.c_str(), bakDb.c_str(), false) != 0 || qb_copy_file(idx.c_str(), bakIdx.c_str(), false) != 0)
    return fail("backup copy");
  out->backup = secondsSince(start);
  double user0, system0, user1, system1;
  cpuSeconds(&user0, &system0);
  start = Clock::now();
  if (TableHandle::copyTable(backupBase, base, kPathIndex, 1, 0) != 1) return fail("copyTable");
  out->copy = secondsSince(start);
  cpuSeconds(&user1, &system1);
  out->copyUser = user1 - user0;
  out->copySystem = system1 - system0;
  if (countNotes(base) != expected) return fail("record count after copyTable");
  return true;
}

bool exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  std::fprintf(stderr, "compaction_bench: sqlite: %s: %s\n", sql, message != nullptr ? message : "?");
  sqlite3_free(message);
  return false;
}

bool runSqlite(const std::string& file, const std::vector<Note>& notes, const std::vector<size_t>& deletes,
               double* seconds, int64_t* before, int64_t* after) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) return false;
  bool ok = exec(db, "PRAGMA page_size=512") &&
            exec(db, "CREATE TABLE notes(path TEXT COLLATE NOCASE, remark TEXT)") &&
            exec(db, "CREATE UNIQUE INDEX notes_path ON notes(path)") && exec(db, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* remove = nullptr;
  ok = ok && sqlite3_prepare_v2(db, "INSERT INTO notes VALUES(?1, ?2)", -1, &insert, nullptr) == SQLITE_OK &&
       sqlite3_prepare_v2(db, "DELETE FROM notes WHERE path = ?1", -1, &remove, nullptr) == SQLITE_OK;
  for (size_t i = 0; ok && i < notes.size(); ++i) {
    sqlite3_bind_text(insert, 1, notes[i].path.c_str(), static_cast<int>(notes[i].path.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, notes[i].remark.c_str(), static_cast<int>(notes[i].remark.size()), SQLITE_STATIC);
    ok = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
  }
  for (size_t i : deletes) {
    if (!ok) break;
    sqlite3_bind_text(remove, 1, notes[i].path.c_str(), static_cast<int>(notes[i].path.size()), SQLITE_STATIC);
    ok = sqlite3_step(remove) == SQLITE_DONE && sqlite3_changes(db) == 1 && sqlite3_reset(remove) == SQLITE_OK;
  }
  sqlite3_finalize(insert);
  sqlite3_finalize(remove);
  ok = ok && exec(db, "COMMIT");
  sqlite3_close(db);
  if (!ok) return false;
  *before = static_cast<int64_t>(std::filesystem::file_size(file));

  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) return false;
  auto start = Clock::now();
  ok = exec(db, "VACUUM");
  *seconds = secondsSince(start);
  sqlite3_close(db);
  *after = static_cast<int64_t>(std::filesystem::file_size(file));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t count = 100000;
  int64_t deleteCount = -1;
  std::string parent = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--notes") == 0) count = std::atoll(argv[i + 1]);
    else if (std::strcmp(argv[i], "--deletes") == 0) deleteCount = std::atoll(argv[i + 1]);
    else if (std::strcmp(argv[i], "--dir") == 0) parent = argv[i + 1];
  }
  if (count < 1) count = 1;
  if (deleteCount < 0 || deleteCount > count) deleteCount = std::max<int64_t>(1, count / 10);

  std::string folder = parent + "/qb_compaction_XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  setenv("QB_HOME", folder.c_str(), 1);

  std::vector<Note> notes = makeNotes(count, 20240611);
  std::vector<size_t> deletes(static_cast<size_t>(count));
  for (size_t i = 0; i < deletes.size(); ++i) deletes[i] = i;
  std::shuffle(deletes.begin(), deletes.end(), std::mt19937_64(99));
  deletes.resize(static_cast<size_t>(deleteCount));

  OurTimes ours;
  double vacuum = 0;
  int64_t liteBefore = 0, liteAfter = 0;
  bool ok = runOurs(notes, deletes, &ours) &&
            runSqlite(folder + "/notes.sqlite", notes, deletes, &vacuum, &liteBefore, &liteAfter);
  (void)tempTable.close();
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  if (!ok) return 1;

  std::printf("compaction of %lld notes, %lld deleted (SQLite %s)\n", static_cast<long long>(count),
              static_cast<long long>(deleteCount), sqlite3_libversion());
  std::printf("  ours   closeDatabase total  %8.3f s   data file %lld -> %lld bytes\n", ours.total,
              static_cast<long long>(ours.before), static_cast<long long>(ours.after));
  std::printf("         backup copy alone    %8.3f s\n", ours.backup);
  std::printf("         copyTable alone      %8.3f s   (processor: user %.3f s, system %.3f s)\n", ours.copy,
              ours.copyUser, ours.copySystem);
  std::printf("  sqlite VACUUM              %8.3f s   file %lld -> %lld bytes\n", vacuum,
              static_cast<long long>(liteBefore), static_cast<long long>(liteAfter));
  std::printf("  speed-up (SQLite / ours)     %6.2f   (compaction alone: %.2f)\n", vacuum / ours.total,
              vacuum / ours.copy);
  return 0;
}
