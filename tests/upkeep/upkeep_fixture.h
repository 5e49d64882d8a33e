// Shared by the upkeep tests: a fresh state folder (QB_HOME, in memory where
// /dev/shm can be written) and a started engine for each test, the notes
// database's files and marks, and a look at a closed table.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cache/file_io.h"
#include "engine/engine.h"
#include "platform/profile.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "table_handle/table_handle.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

using Notes = std::map<std::string, std::string>;
using Names = std::set<std::string>;

// One look at a closed table: tb_verify's findings, its indexes, its records
// walked in record order (paths met twice counted).
struct Inspection {
  bool opened = false, walked = false;
  int findings = -1, duplicates = 0;
  std::string report;
  Notes records;
  std::vector<std::string> order;
  Names indexes;
  bool sound(const Names& need) const {
    return opened && findings == 0 && walked && duplicates == 0 &&
           std::includes(indexes.begin(), indexes.end(), need.begin(), need.end());
  }
};

inline Inspection inspect(const std::string& base) {
  Inspection in;
  Table* t = tb_open(base.c_str(), 0, 1);
  if (!(in.opened = t != nullptr)) return in;
  for (TableIndex* ix = t->indexes; ix != nullptr; ix = ix->next) in.indexes.insert(ix->name);
  in.findings = tb_verify(t, [](void* r, const char* f) { static_cast<std::string*>(r)->append(f).append("; "); },
                          &in.report, 4);
  TableIndex* physical = tb_physical_index(t);
  void* buffers[2] = {std::malloc(8), std::malloc(8)};
  int32_t sizes[2] = {8, 8};
  int rc = tb_first_record(t, physical);
  for (; rc == 1 && tb_read_record(t, physical, buffers, sizes) == 1; rc = tb_next_record(t, physical)) {
    in.order.push_back(static_cast<char*>(buffers[0]));
    in.duplicates += !in.records.emplace(in.order.back(), static_cast<char*>(buffers[1])).second;
  }
  in.walked = rc == -3;
  std::free(buffers[0]), std::free(buffers[1]), (void)tb_close(t);
  return in;
}

class UpkeepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/qbupkeep.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern, state_ = dir_ + "/state";
    ::setenv("QB_HOME", state_.c_str(), 1);
    ASSERT_EQ(TableHandle::startEngine(16, kNotesPageSize), 1);
  }
  void TearDown() override {
    (void)notesTable.close(), (void)tempTable.close();
    g_file_io = io_default_table();
    (void)tb_shutdown(), ::unsetenv("QB_HOME");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string file(const char* name) const { return dir_ + "/" + name; }
  static std::string sys(const char* name) {
    char buffer[kPathBuffer];
    return systemFilePath(buffer, name) == 1 ? buffer : "";
  }
  static bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }
  static int status() {
    uint32_t value = 0;
    return readStatus(&value) == 0 ? static_cast<int>(value) : -1;
  }
  static int modified() { return static_cast<int>(profile_read_number(kProfileSection, kModifiedKey, 0)); }
  static void setModified() { ASSERT_EQ(profile_write(kProfileSection, kModifiedKey, "1"), 0); }

  // `count` notes, paths of 30 to 120 bytes and remarks of 20 to 300; `salt`
  // keeps two sets apart.
  static Notes makeNotes(int count, const std::string& salt) {
    Notes notes;
    for (size_t i = 0; i < static_cast<size_t>(count); ++i)
      notes.emplace("/home/Ada/" + salt + std::string(i * 37 % 90, 'd') + "/Note_" + std::to_string(i) + ".md",
                    ("remark " + std::to_string(i)).append(20 + i * 53 % 281, 'r'));
    return notes;
  }
  // A table of the notes layout at `base` holding `notes`.
  static void writeNotes(const std::string& base, const Notes& notes, const char* declaration = kPathDeclaration) {
    TableHandle h;
    ASSERT_TRUE(createNotesTable(base.c_str(), declaration) == 1 && h.open(base.c_str(), 0) == 1);
    for (const auto& [path, remark] : notes) addNote(h, path, remark);
    ASSERT_EQ(h.close(), 1);
  }
  static void addNote(TableHandle& h, const std::string& path, const std::string& remark) {
    ASSERT_TRUE(h.setField(0, path.c_str()) == 1 && h.setField(1, remark.c_str()) == 1 && h.addRecord() == 1)
        << path << " error " << h.lastError();
  }

  std::string dir_, state_;
  LogCapture log_;  // the steps closeDatabase reports
};
