// Shared by the tracking tests: a fresh state folder (QB_HOME) with the
// notes database open, the trace collected, and helpers that run one event
// through DoResponse and look at notes, "FileSpec" and "MODIFIED".
//
// The engine and the two table handles are process-wide: TearDown closes
// them and shuts the engine down, so each test starts clean.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "tracking/do_response.h"
#include "tracking/save_as.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"
#include "upkeep/monitor_tables.h"
#include "upkeep/set_aside.h"

class TrackingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QB_HOME", (tmp_.path() + "/state").c_str(), 1);
    ASSERT_EQ(TableHandle::startEngine(16, 512), 1);
    ASSERT_EQ(openDatabase(), 1);
    log_.clear();
    behind = 0;
    ASSERT_EQ(::mkdir(files().c_str(), 0700), 0);
  }
  void TearDown() override {
    endEventGroup();
    (void)notesTable.close();
    (void)tempTable.close();
    (void)tb_shutdown();
    ::unsetenv("QB_HOME");
  }

  // A folder for real files and folders the events name.
  std::string files() const { return tmp_.path() + "/files"; }
  std::string file(const std::string& name) const { return files() + "/" + name; }

  // Runs DoResponse on the event and returns the trace lines it wrote,
  // joined. `behind` is what the queue says waits behind it.
  std::string event(int32_t operation, const std::string& source, const std::string& target) {
    log_.clear();
    EXPECT_EQ(DoResponse(FileEvent{operation, source, target}, [] { return behind; }), 0);
    return traces();
  }
  static inline size_t behind = 0;

  std::vector<std::string> traceLines() const { return log_.texts(LogKind::kTrace); }
  // The reports (every kind but the trace), oldest first.
  std::vector<std::string> reports() const {
    std::vector<std::string> out;
    for (const LogCapture::Line& l : log_.lines())
      if (l.first != LogKind::kTrace) out.push_back(l.second);
    return out;
  }
  std::string traces() const {
    std::string all;
    for (const std::string& line : traceLines()) all += line;
    return all;
  }
  // The trace lines but those beginning with `prefix`, which are counted.
  std::string tracesBut(const char* prefix, int* count) const {
    std::string kept;
    *count = 0;
    for (const std::string& line : traceLines())
      if (line.rfind(prefix, 0) == 0) ++*count;
      else kept += line;
    return kept;
  }

  // ---- notes ------------------------------------------------------------------
  static void note(TableHandle& t, const std::string& path, const std::string& remark) {
    ASSERT_EQ(t.setField(0, path.c_str()), 1);
    ASSERT_EQ(t.setField(1, remark.c_str()), 1);
    if (&t == &tempTable) stampSetAside(t, kAsideDeleted);  // set aside now, as a deleted file's
    ASSERT_EQ(t.addRecord(), 1) << path << " error " << t.lastError();
  }
  // The remark of `path` in t, or nullopt when it has no note there.
  static std::optional<std::string> remarkOf(TableHandle& t, const std::string& path) {
    EXPECT_EQ(t.setField(0, path.c_str()), 1);
    if (t.findKey() != 2) return std::nullopt;
    EXPECT_EQ(t.readRecord(0), 1);
    return std::string(t.getField(1));
  }
  static bool isEmpty(TableHandle& t) { return t.firstRecord() == -3; }

  // ---- marks ---------------------------------------------------------------------
  static void setFileSpec(const std::string& value) {
    ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, kSaveAsKeyPath, kFileSpecValue, value), 0);
  }
  // "FileSpec", or "<none>" when the key or value does not exist.
  static std::string fileSpec() {
    std::string value;
    return reg_read_string(RegHive::kLocalMachine, kSaveAsKeyPath, kFileSpecValue, &value) == 0 ? value : "<none>";
  }
  // "MODIFIED" as a number; 7 when it was never written.
  static unsigned modified() { return profile_read_number(kProfileSection, kModifiedKey, 7); }

  TempDir tmp_;
  LogCapture log_;
};
