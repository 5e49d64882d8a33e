// DoResponse on arbitrary file events, against a small notes database.
//
// Input (a shorter input is padded with zero bytes):
//   bytes 0..255    the source path, up to its first zero byte (all 256
//                   bytes when there is none: a path the table cannot take)
//   bytes 256..511  the target path, the same way
//   bytes 512..515  the operation, little-endian: arbitrary, OP_STOP and
//                   unknown codes included
//   the rest        when present, a "FileSpec" value left in the registry
//                   before the event (the save hand-shake)
//
// Set up once: a state folder (QB_HOME) with the notes table and the
// temporary table holding a few notes, and a folder tree the notes name.
// Before each
// input the database files, registry.reg and win.ini are put back as they
// were, so that every input is judged on the same state and a crash
// reproduces from its input alone.
//
// The paths are relative to the folder tree, which is the working folder
// while an input runs (only then: libFuzzer's own relative paths, the
// corpus folders given to it, keep meaning what they meant; crash files go
// where -artifact_prefix says, made absolute at start). A rename whose
// target is a real folder makes the handler list it (the folder walk); a
// target that leads out of the tree (an absolute path, "..") would have it
// list the machine's own folders, so such inputs are refused.
//
// Checked after every event: DoResponse gave 0 and both tables are sound
// by tb_verify.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "fuzz_support.h"
#include "platform/registry.h"
#include "platform/state_dir.h"
#include "tracking/do_response.h"
#include "tracking/save_as.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"
#include "upkeep/set_aside.h"

namespace {

// ---- the state put back before each input ----------------------------------

struct SavedFile {
  std::string path;
  std::string bytes;
};
std::vector<SavedFile> g_saved;
std::string g_notes_base, g_temp_base, g_tree;
int g_home = -1;  // the working folder libFuzzer was started in

std::string read_file(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY);
  fz_check(fd >= 0, "cannot read a state file");
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

void open_tables() {
  fz_check(notesTable.open(g_notes_base.c_str(), 1) == 1 && notesTable.setIndex(kPathIndex) == 1,
           "cannot open the notes table");
  fz_check(tempTable.open(g_temp_base.c_str(), 1) == 1 && tempTable.setIndex(kPathIndex) == 1,
           "cannot open the temporary table");
}

void close_tables() {
  (void)notesTable.close();
  (void)tempTable.close();
}

// Each file is written beside its place and renamed over it: a new file is
// what tells the registry and profile code to read it again.
void restore() {
  close_tables();
  for (const SavedFile& f : g_saved) {
    std::string fresh = f.path + ".fuzz";
    fz_write(fresh, reinterpret_cast<const uint8_t*>(f.bytes.data()), f.bytes.size());
    fz_check(::rename(fresh.c_str(), f.path.c_str()) == 0, "cannot put a state file back");
  }
  open_tables();
}

void note(TableHandle& t, const std::string& path) {
  std::string remark = "note of " + path;
  fz_check(t.setField(0, path.c_str()) == 1 && t.setField(1, remark.c_str()) == 1, "cannot set a note");
  if (&t == &tempTable) stampSetAside(t, kAsideDeleted);  // set aside now, as a deleted file's
  fz_check(t.addRecord() == 1, "cannot add a note");
}

void make_dir(const std::string& path) { fz_check(::mkdir(path.c_str(), 0700) == 0, "cannot make a folder"); }
void make_file(const std::string& path) { fz_write(path, reinterpret_cast<const uint8_t*>("x"), 1); }

void set_file_spec(const std::string& value) {
  (void)reg_write_string(RegHive::kLocalMachine, kSaveAsKeyPath, kFileSpecValue, value);
}

// True when `path` names nothing, or something inside the tree.
bool inside_tree(const char* path) {
  char real[PATH_MAX];
  if (::realpath(path, real) == nullptr) return true;
  std::string r = real;
  return r == g_tree || r.compare(0, g_tree.size() + 1, g_tree + "/") == 0;
}

void ignore_finding(void*, const char*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fz_absolute_artifacts(argc, argv);
  g_home = ::open(".", O_RDONLY | O_DIRECTORY);
  fz_check(g_home >= 0, "cannot open the working folder");
  const std::string& dir = fz_dir();
  fz_check(::setenv("QB_HOME", (dir + "/state").c_str(), 1) == 0, "cannot set QB_HOME");
  fz_check(TableHandle::startEngine(16, 512) == 1, "cannot start the engine");
  fz_check(openDatabase() == 1, "cannot open the database");

  // The tree the paths name: New/ holds what a renamed folder Old/ held.
  g_tree = dir + "/tree";
  make_dir(g_tree);
  make_dir(g_tree + "/New");
  make_file(g_tree + "/New/top.txt");
  make_dir(g_tree + "/New/Sub");
  make_file(g_tree + "/New/Sub/file.txt");
  make_dir(g_tree + "/Docs");
  make_file(g_tree + "/Docs/plan.txt");
  for (const char* path : {"Old", "Old/top.txt", "Old/Sub", "Old/Sub/file.txt", "Docs", "Docs/plan.txt", "doc.txt"})
    note(notesTable, path);
  note(tempTable, "gone.txt");
  set_file_spec("");

  char buffer[kPathBuffer];
  fz_check(systemFilePath(buffer, "qb") == 1, "no system folder");
  g_notes_base = buffer;
  fz_check(systemFilePath(buffer, "qbtmp") == 1, "no system folder");
  g_temp_base = buffer;
  close_tables();
  for (const std::string& path : {g_notes_base + ".db", g_notes_base + ".idx", g_temp_base + ".db",
                                  g_temp_base + ".idx", qb_state_path("registry.reg"), qb_state_path("win.ini")}) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) g_saved.push_back({path, read_file(path)});
  }
  open_tables();
  return 0;
}

namespace {

constexpr size_t kField = 256;
constexpr size_t kRecord = 2 * kField + 4;

// One path field of the input: up to its first zero byte, or whole.
std::string field(const uint8_t* bytes) {
  const void* end = std::memchr(bytes, 0, kField);
  return std::string(reinterpret_cast<const char*>(bytes),
                     end != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(end) - bytes) : kField);
}

int run_one(const uint8_t* data, size_t size) {
  uint8_t record[kRecord] = {};
  std::memcpy(record, data, size < kRecord ? size : kRecord);
  FileEvent event;
  event.source = field(record);
  event.target = field(record + kField);
  event.operation = static_cast<int32_t>(uint32_t{record[512]} | uint32_t{record[513]} << 8 |
                                         uint32_t{record[514]} << 16 | uint32_t{record[515]} << 24);
  if (event.operation == OP_RENAME && !inside_tree(event.target.c_str())) return -1;

  restore();
  if (size > kRecord)
    set_file_spec(std::string(reinterpret_cast<const char*>(data) + kRecord, size - kRecord).c_str());

  fz_check(DoResponse(event, nullptr) == 0, "DoResponse gave other than 0");
  for (Table* t = tb_tables.head; t != nullptr; t = t->next)
    fz_check(tb_verify(t, ignore_finding, nullptr, 20) == 0, "the event left a table damaged");
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz_check(::chdir(g_tree.c_str()) == 0, "cannot enter the tree");
  int rc = run_one(data, size);
  fz_check(::fchdir(g_home) == 0, "cannot leave the tree");
  return rc;
}
