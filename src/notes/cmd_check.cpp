// check: verifies the notes table and the Monitor's temporary table with the
// engine's whole-table verifier, read-only and in shared mode, and prints
// every finding.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "cache/file_io.h"
#include "engine/engine.h"
#include "notes/notes.h"
#include "notes/notes_table.h"
#include "upkeep/database.h"

namespace {

constexpr int kMaxFindings = 100;
constexpr int kOpenTries = 60;
constexpr int kOpenDelayMs = 50;

void collect(void* ctx, const char* finding) { static_cast<std::vector<std::string>*>(ctx)->push_back(finding); }

bool same_name(const char* declared, const char* wanted) {
  size_t n = std::strlen(declared);
  const char* comma = std::strrchr(declared, ',');
  if (comma != nullptr) n = static_cast<size_t>(comma - declared);
  return n == std::strlen(wanted) && strncasecmp(declared, wanted, n) == 0;
}

bool has_field(Table* t, const char* wanted) {
  char** names = tb_field_names(t);
  for (int i = 0; names != nullptr && names[i] != nullptr; ++i)
    if (same_name(names[i], wanted)) return true;
  return false;
}

// Opens `base` shared and read-only, waiting while another program holds it
// alone. Null with *status set after a message.
Table* open_for_check(const std::string& label, const std::string& base, int* status) {
  for (int attempt = 1;; ++attempt) {
    io_os_error = 0;
    Table* t = tb_open(base.c_str(), 1, 1);
    if (t != nullptr) return t;
    const int code = tb_error;
    const int os = io_os_error;
    if (code != kTbCannotOpen || (os != EWOULDBLOCK && os != EAGAIN)) {
      std::printf("%s %s.db: cannot be opened: %s\n", label.c_str(), base.c_str(),
                  engine_error_text(code, ix_error, os).c_str());
      *status = kExitTable;
      return nullptr;
    }
    if (attempt == kOpenTries) {
      std::printf("%s %s.db: held by another program; not checked\n", label.c_str(), base.c_str());
      *status = kExitHeld;
      return nullptr;
    }
    ::usleep(kOpenDelayMs * 1000);
  }
}

// Checks one table. kExitDone when sound, kExitNotFound when it does not
// exist, kExitTable when damaged or unopenable, kExitHeld when held.
int check_table(const std::string& label, const std::string& base) {
  const std::string data = base + ".db";
  struct stat st;
  if (::stat(data.c_str(), &st) != 0) return kExitNotFound;
  int status = kExitDone;
  Table* t;
  {
    CreationLock lock(false);
    t = open_for_check(label, base, &status);
  }
  if (t == nullptr) return status;

  std::vector<std::string> findings;
  // An open whose index file cannot be used succeeds in record order only;
  // the engine error of the open tells why.
  const int open_error = tb_error;
  if (open_error != kTbOk) {
    findings.push_back("the index file cannot be used: " + engine_error_text(open_error, ix_error, io_os_error));
  } else {
    if (tb_find_index(t, kPathIndex) == nullptr) findings.push_back(std::string("no index ") + kPathIndex);
    for (const char* field : {"Path", "Remark"})
      if (!has_field(t, field)) findings.push_back(std::string("no field ") + field);
  }
  const int n = tb_verify(t, collect, &findings, kMaxFindings);
  if (n < 0) findings.push_back("the verifier could not read the table: " + engine_error_text(tb_error, ix_error, 0));
  (void)tb_close(t);

  if (findings.empty()) {
    std::printf("%s %s: sound\n", label.c_str(), data.c_str());
    return kExitDone;
  }
  std::printf("%s %s: %zu finding%s\n", label.c_str(), data.c_str(), findings.size(),
              findings.size() == 1 ? "" : "s");
  for (const std::string& f : findings) std::printf("  %s\n", f.c_str());
  return kExitTable;
}

}  // namespace

int cmd_check(int argc, char** argv) {
  Args a;
  int rc = parse_args("check", argc, argv, 0, 0, 0, &a);
  if (rc != kExitDone || a.help) {
    if (a.help) print_help("check");
    return rc;
  }
  if (start_engine() != 1) {
    say("the table engine cannot start: %s", engine_error_text(tb_error, ix_error, 0).c_str());
    return kExitTable;
  }
  const std::string notes = system_file("qb");
  const std::string temp = system_file("qbtmp");
  if (notes.empty() || temp.empty()) return kExitTable;

  const int notes_status = check_table("notes table", notes);
  if (notes_status == kExitNotFound) {
    say("there is no notes table at %s.db yet", notes.c_str());
    return kExitNotFound;
  }
  int temp_status = check_table("temporary table", temp);
  if (temp_status == kExitNotFound) temp_status = kExitDone;  // the Monitor makes it at its start
  if (notes_status == kExitTable) {
    say("the notes table is damaged or cannot be opened: `qbnote repair` rebuilds its index file from the data "
        "file (stop a running Monitor first with `qbmon --stop`); when that does not make it sound, `qbnote "
        "restore-backup` puts the Monitor's last backup back");
    return kExitTable;
  }
  if (temp_status == kExitTable) {
    say("the temporary table is damaged or cannot be opened: stop qbmon (`qbmon --stop`) and start it again; "
        "its start rebuilds it");
    return kExitTable;
  }
  if (notes_status == kExitHeld || temp_status == kExitHeld) return kExitHeld;
  return kExitDone;
}
