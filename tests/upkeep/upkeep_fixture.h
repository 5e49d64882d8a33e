// Shared by the upkeep tests: a fresh state folder (QB_HOME) and a started
// engine for each test, the notes database's files, and helpers that build
// notes tables, read them back record by record, verify them and look at
// their data files byte by byte.
//
// The engine and the two global handles are process-wide: TearDown closes
// both handles and shuts the engine down, so every test starts clean.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cache/bytes.h"
#include "cache/file_io.h"
#include "engine/engine.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/state_dir.h"
#include "records/records.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "table_handle/table_handle.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"

// Paths in the order of the path index of a table made here: byte order.
using Notes = std::map<std::string, std::string>;
using Rows = std::vector<std::pair<std::string, std::string>>;

inline Rows rowsOf(const Notes& notes) { return Rows(notes.begin(), notes.end()); }

class UpkeepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QB_HOME", (tmp_.path() + "/state").c_str(), 1);
    ASSERT_EQ(TableHandle::startEngine(16, 512), 1);
  }
  void TearDown() override {
    (void)notesTable.close();
    (void)tempTable.close();
    g_file_io = io_default_table();
    (void)tb_shutdown();
    ::unsetenv("QB_HOME");
  }

  // "<sysdir>/<name>".
  static std::string sys(const char* name) {
    char buffer[kPathBuffer];
    EXPECT_EQ(systemFilePath(buffer, name), 1);
    return buffer;
  }
  static bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }

  static uint32_t status() {
    uint32_t value = 0xFFFFFFFFu;
    EXPECT_EQ(readStatus(&value), 0);
    return value;
  }
  static unsigned modified() { return profile_read_number(kProfileSection, kModifiedKey, 0); }
  static void setModified(const char* value) { ASSERT_EQ(profile_write(kProfileSection, kModifiedKey, value), 0); }

  // `count` notes with paths of 30..120 bytes in mixed case, unique ignoring
  // case, and remarks of 20..300 bytes; `salt` keeps two sets apart.
  static Notes makeNotes(int count, const std::string& salt, uint32_t seed = 7) {
    static const char* const kDirs[] = {"Projects", "docs", "Reports", "src", "Photos", "2024", "Archive"};
    std::mt19937 rng(seed);
    Notes notes;
    for (int i = 0; notes.size() < static_cast<size_t>(count); ++i) {
      std::string path = "/home/Ada/" + salt;
      int depth = static_cast<int>(rng() % 6);
      for (int d = 0; d < depth; ++d) path += std::string("/") + kDirs[rng() % 7];
      path += "/Note_" + std::to_string(i) + (i % 3 == 0 ? ".TXT" : ".md");
      while (path.size() < 30) path.insert(10, "x");
      if (path.size() > 120) path.resize(120);
      std::string remark;
      size_t length = 20 + rng() % 281;
      while (remark.size() < length) remark += "remark " + std::to_string(i) + " ";
      remark.resize(length);
      notes.emplace(path, remark);
    }
    return notes;
  }

  // Writes `notes` into the table `base` (created with the notes layout when
  // `create`), through an exclusive handle that is closed again.
  static void writeNotes(const std::string& base, const Notes& notes, bool create = true) {
    if (create) {
      ASSERT_EQ(createNotesTable(base.c_str()), 1);
    }
    TableHandle h;
    ASSERT_EQ(h.open(base.c_str(), 0), 1);
    for (const auto& [path, remark] : notes) {
      ASSERT_EQ(h.setField(0, path.c_str()), 1);
      ASSERT_EQ(h.setField(1, remark.c_str()), 1);
      ASSERT_EQ(h.addRecord(), 1) << path << " error " << h.lastError();
    }
    ASSERT_EQ(h.close(), 1);
  }

  // Deletes the note of `path` through notesTable, as the event handler does.
  static void deleteNote(const std::string& path) {
    ASSERT_EQ(notesTable.setField(0, path.c_str()), 1);
    ASSERT_EQ(notesTable.findKey(), 2) << path;
    ASSERT_EQ(notesTable.deleteRecord(), 1);
  }
  static void addNote(TableHandle& h, const std::string& path, const std::string& remark) {
    ASSERT_EQ(h.setField(0, path.c_str()), 1);
    ASSERT_EQ(h.setField(1, remark.c_str()), 1);
    ASSERT_EQ(h.addRecord(), 1) << path;
  }

  // Every record of the closed table `base`, in the order of its path
  // index. A table without that index fails the test.
  static Rows readAll(const std::string& base) {
    Rows rows;
    Table* t = tb_open(base.c_str(), 0, 1);
    if (t == nullptr) {
      ADD_FAILURE() << "cannot open " << base << ": error " << tb_error;
      return rows;
    }
    TableIndex* ix = tb_find_index(t, kPathIndex);
    if (ix == nullptr) {
      ADD_FAILURE() << base << " has no path index";
    } else {
      void* buffers[2] = {std::malloc(8), std::malloc(8)};
      int32_t sizes[2] = {8, 8};
      int rc = tb_first_record(t, ix);
      for (; rc == 1; rc = tb_next_record(t, ix)) {
        if (tb_read_record(t, ix, buffers, sizes) != 1) {
          ADD_FAILURE() << "read failed: error " << tb_error;
          break;
        }
        rows.emplace_back(static_cast<char*>(buffers[0]), static_cast<char*>(buffers[1]));
      }
      EXPECT_TRUE(rc == -3 || rc == 1) << rc;
      std::free(buffers[0]);
      std::free(buffers[1]);
    }
    EXPECT_EQ(tb_close(t), 1);
    return rows;
  }

  // The index names of the closed table `base`, as the handle sorts them.
  static std::vector<std::string> indexNames(const std::string& base) {
    TableHandle h;
    std::vector<std::string> names;
    if (h.open(base.c_str(), 2) != 1) return {"<cannot open>"};
    for (int i = 0; i < h.indexCount(); ++i) {
      char name[64];
      EXPECT_EQ(h.indexName(i, name, sizeof name), 1);
      names.push_back(name);
    }
    return names;
  }

  // tb_verify's findings on the closed table `base` (0 sound).
  static int verify(const std::string& base) {
    Table* t = tb_open(base.c_str(), 0, 1);
    if (t == nullptr) return -1;
    int findings = tb_verify(
        t, [](void*, const char* finding) { ADD_FAILURE() << finding; }, nullptr, 20);
    EXPECT_EQ(tb_close(t), 1);
    return findings;
  }

  // Free blocks in a data file, walking its blocks from the first record;
  // -1 when the blocks do not end exactly at the end of the file.
  static int freeBlocks(const std::string& dataFile) {
    std::string bytes = read_whole_file(dataFile);
    if (bytes.size() < 4) return -1;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t at = 4 + size_t{get_u16(p)};
    int free = 0;
    while (at + 2 <= bytes.size()) {
      int16_t word = get_i16(p + at);
      if (word < 0) ++free;
      at += 2 + static_cast<size_t>(word < 0 ? -int32_t{word} : word);
    }
    return at == bytes.size() ? free : -1;
  }

  TempDir tmp_;
  LogCapture log_;  // the steps closeDatabase reports
};
