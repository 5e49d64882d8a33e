// DoResponse on arbitrary event records, against a small notes database.
//
// Input:
//   bytes 0..515   the EventRecord as the driver would hand it over (a
//                  shorter input is padded with zero bytes): both paths and
//                  the operation are arbitrary, OP_STOP and unknown codes
//                  included
//   the rest       when present, a "FileSpec" value left in the registry
//                  before the event (the save hand-shake)
//
// Set up once: a state folder (QB_HOME) with the notes table and the
// temporary table holding a few notes, a folder tree the notes name, and a
// device under the driver's name that counts acknowledgements. Before each
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
// Checked after every event: it was acknowledged exactly once with the
// record's address; `operation` is 0, or 100 for OP_STOP, whose event alone
// clears `running`; both tables are sound by tb_verify. The record is a
// heap block of exactly 516 bytes, so a read past it is caught.
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
#include "platform/debug_output.h"
#include "platform/device.h"
#include "platform/registry.h"
#include "platform/state_dir.h"
#include "tracking/do_response.h"
#include "tracking/event_record.h"
#include "tracking/save_as.h"
#include "upkeep/database.h"

namespace {

// ---- the driver's side: acknowledgements only ------------------------------

struct Acks {
  int count = 0;
  ULONG_PTR last = 0;
};
Acks g_acks;

BOOL ack_control(void* self, DWORD code, void* in, DWORD in_size, void*, DWORD, DWORD*) {
  auto* acks = static_cast<Acks*>(self);
  if (code != IOCTL_ACKNOWLEDGE || in_size != sizeof(ULONG_PTR)) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    return FALSE;
  }
  std::memcpy(&acks->last, in, sizeof acks->last);
  ++acks->count;
  return TRUE;
}

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
  fz_check(t.setField(0, path.c_str()) == 1 && t.setField(1, remark.c_str()) == 1 && t.addRecord() == 1,
           "cannot add a note");
}

void make_dir(const std::string& path) { fz_check(::mkdir(path.c_str(), 0700) == 0, "cannot make a folder"); }
void make_file(const std::string& path) { fz_write(path, reinterpret_cast<const uint8_t*>("x"), 1); }

void set_file_spec(const std::string& value) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSaveAsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  (void)RegSetValueExA(key, kFileSpecValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
  (void)RegCloseKey(key);
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

  static QbDevice device = {nullptr, ack_control, nullptr, &g_acks};
  qb_register_device("\\\\.\\QBSYS.VXD", &device);
  driverHandle = CreateFileA("\\\\.\\QBSYS.VXD", 0, 0, nullptr, 0, FILE_FLAG_OVERLAPPED, nullptr);
  fz_check(driverHandle != INVALID_HANDLE_VALUE, "cannot open the device");
  running.store(1);
  return 0;
}

namespace {

int run_one(const uint8_t* data, size_t size) {
  auto* record = static_cast<EventRecord*>(std::calloc(1, sizeof(EventRecord)));
  fz_check(record != nullptr, "out of memory");
  std::memcpy(record, data, size < sizeof(EventRecord) ? size : sizeof(EventRecord));
  const int32_t operation = record->operation;
  if (operation == OP_RENAME && std::memchr(record->targetPath, 0, kEventPathSize) != nullptr &&
      !inside_tree(record->targetPath)) {
    std::free(record);
    return -1;
  }

  restore();
  if (size > sizeof(EventRecord))
    set_file_spec(std::string(reinterpret_cast<const char*>(data) + sizeof(EventRecord), size - sizeof(EventRecord))
                      .c_str());

  const int before = g_acks.count;
  fz_check(DoResponse(reinterpret_cast<ULONG_PTR>(record)) == 0, "DoResponse gave other than 0");
  fz_check(g_acks.count == before + 1, "the event was not acknowledged exactly once");
  fz_check(g_acks.last == reinterpret_cast<ULONG_PTR>(record), "the acknowledgement named another record");
  fz_check(record->operation == (operation == OP_STOP ? OP_STOP : 0), "operation was not reset");
  fz_check(running.load() == (operation == OP_STOP ? 0 : 1), "running changed on another event than OP_STOP");
  running.store(1);
  for (Table* t = tb_tables.head; t != nullptr; t = t->next)
    fz_check(tb_verify(t, ignore_finding, nullptr, 20) == 0, "the event left a table damaged");
  qb_debug_log_clear();
  std::free(record);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz_check(::chdir(g_tree.c_str()) == 0, "cannot enter the tree");
  int rc = run_one(data, size);
  fz_check(::fchdir(g_home) == 0, "cannot leave the tree");
  return rc;
}
