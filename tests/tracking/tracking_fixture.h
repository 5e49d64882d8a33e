// Shared by the tracking tests: a fresh state folder (QB_HOME) with the
// notes database open, the scripted driver opened as driverHandle, the
// debug-output sink, and helpers that run one event through DoResponse and
// look at notes, "FileSpec" and "MODIFIED".
//
// The engine, the two table handles and driverHandle are process-wide:
// TearDown closes them and shuts the engine down, so each test starts clean.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/debug_output.h"
#include "platform/device.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "support/scripted_driver.h"
#include "support/temp_dir.h"
#include "tracking/do_response.h"
#include "tracking/event_record.h"
#include "tracking/save_as.h"
#include "upkeep/backup.h"
#include "upkeep/database.h"

class TrackingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QB_HOME", (tmp_.path() + "/state").c_str(), 1);
    ASSERT_EQ(TableHandle::startEngine(16, 512), 1);
    ASSERT_EQ(openDatabase(), 1);
    driverHandle = CreateFileA(ScriptedDriver::kDeviceName, 0, 0, nullptr, 0,
                               FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(driverHandle, INVALID_HANDLE_VALUE);
    running.store(1);
    qb_debug_log_clear();
    ASSERT_EQ(::mkdir(files().c_str(), 0700), 0);
  }
  void TearDown() override {
    endEventGroup();
    (void)notesTable.close();
    (void)tempTable.close();
    (void)tb_shutdown();
    if (driverHandle != nullptr && driverHandle != INVALID_HANDLE_VALUE) (void)CloseHandle(driverHandle);
    driverHandle = nullptr;
    running.store(1);
    qb_debug_log_clear();
    ::unsetenv("QB_HOME");
  }

  // A folder for real files and folders the events name.
  std::string files() const { return tmp_.path() + "/files"; }
  std::string file(const std::string& name) const { return files() + "/" + name; }

  // Runs DoResponse on record_ (filled from the arguments) and returns the
  // trace lines it wrote, joined. Fails the test unless the record was
  // acknowledged exactly once, with its address, and `operation` is 0
  // afterwards (100 for OP_STOP).
  std::string event(int32_t operation, const std::string& source, const std::string& target) {
    std::memset(&record_, 0, sizeof record_);
    std::memcpy(record_.sourcePath, source.data(), std::min<size_t>(source.size(), 255));
    std::memcpy(record_.targetPath, target.data(), std::min<size_t>(target.size(), 255));
    record_.operation = operation;
    return run(operation == OP_STOP ? OP_STOP : 0);
  }
  // Runs DoResponse on record_ as it stands.
  std::string run(int32_t operationAfter = 0) {
    qb_debug_log_clear();
    size_t before = acknowledgements().size();
    EXPECT_EQ(DoResponse(reinterpret_cast<ULONG_PTR>(&record_)), 0u);
    std::vector<uint64_t> acks = acknowledgements();
    EXPECT_EQ(acks.size(), before + 1);
    if (acks.size() == before + 1) {
      EXPECT_EQ(acks.back(), reinterpret_cast<uintptr_t>(&record_));
    }
    EXPECT_EQ(record_.operation, operationAfter);
    return traces();
  }

  // The addresses sent with IOCTL_ACKNOWLEDGE so far, oldest first.
  std::vector<uint64_t> acknowledgements() const {
    std::vector<uint64_t> out;
    for (const DriverCall& c : driver_.calls()) {
      if (c.code != kDriverAcknowledge) continue;
      EXPECT_EQ(c.input.size(), sizeof(ULONG_PTR));
      uint64_t v = 0;
      for (size_t i = 0; i < c.input.size(); ++i) v |= uint64_t{c.input[i]} << (8 * i);
      out.push_back(v);
    }
    return out;
  }

  static std::string traces() {
    std::string all;
    for (const std::string& line : qb_debug_log()) all += line;
    return all;
  }
  // The trace lines but those beginning with `prefix`, which are counted.
  static std::string tracesBut(const char* prefix, int* count) {
    std::string kept;
    *count = 0;
    for (const std::string& line : qb_debug_log())
      if (line.rfind(prefix, 0) == 0) ++*count;
      else kept += line;
    return kept;
  }

  // ---- notes ------------------------------------------------------------------
  static void note(TableHandle& t, const std::string& path, const std::string& remark) {
    ASSERT_EQ(t.setField(0, path.c_str()), 1);
    ASSERT_EQ(t.setField(1, remark.c_str()), 1);
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
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSaveAsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, kFileSpecValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
  // "FileSpec", or "<none>" when the key or value does not exist.
  static std::string fileSpec() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSaveAsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<none>";
    char buffer[1024] = {};
    DWORD size = sizeof buffer - 1;
    LONG rc = RegQueryValueExA(key, kFileSpecValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
    (void)RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(buffer) : "<none>";
  }
  // "MODIFIED" as a number; 7 when it was never written.
  static UINT modified() { return GetProfileIntA(kProfileSection, kModifiedKey, 7); }

  TempDir tmp_;
  ScriptedDriver driver_;
  EventRecord record_{};
};
