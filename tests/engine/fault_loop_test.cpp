// File calls and allocations failing under the engine: a change cut short (a
// killed process, a bad or full disk) loses nothing else; any other failure
// comes back as one.
#include <cstdio>
#include <map>
#include <new>
#include <optional>
#include <string>

#include "engine_fixture.h"
#include "support/fault_io.h"

static int g_fail_new_at = 0;  // the N-th allocation by new (std::nothrow) from now fails; 0: none

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (g_fail_new_at > 0 && --g_fail_new_at == 0) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using Records = std::map<std::string, std::string>;

// A change with the N-th write failing, each N it reaches: once, exclusive
// and shared, as a bad disk (nothing written) and a full one (half written,
// ENOSPC), then records added on the same table; with `sound` any call once,
// exclusive; in the row's persistent mode every write from the N-th on, the
// close's too. A full disk (and `sound`) leaves the table sound, a bad one
// may need the rebuild: every add that gave 1 is there, only the target changed.
TEST_F(EngineTest, ChangesCutShortLoseNothingElse) {
  // Every record, opened (and with `rebuild` its index file rebuilt as
  // recovery does): clean, each found in record order found by its path.
  auto reopened = [&](bool rebuild) {
    Records out;
    Table* t = reopen("notes");
    if (t == nullptr) return ADD_FAILURE() << tb_error, out;
    if (rebuild) {
      EXPECT_EQ(tb_rebuild(t, 512, 1), 1) << "error " << tb_error << ", damage at " << rec_corrupt_address;
      EXPECT_EQ(create_index(t, "INDX_Path,U", {"Path"}), 1) << tb_error;
    }
    EXPECT_EQ(verify(t), 0) << findings_;
    TableIndex* phys = tb_physical_index(t);
    for (int rc = tb_first_record(t, phys); rc == 1; rc = tb_next_record(t, phys)) {
      std::vector<std::string> texts = read_texts(t, phys);
      EXPECT_TRUE(texts.size() == 2 && out.emplace(texts[0], texts[1]).second) << "unread or twice";
      EXPECT_TRUE(texts.empty() || find(t, texts[0]) != 0) << texts[0];
    }
    EXPECT_EQ(tb_close(t), 1);
    return out;
  };
  const struct {
    const char* name;
    std::vector<int> gone;
    int more;
    char op;  // a: add the target, u: update it, d: delete n2
    const char* target;
    std::string after;
    bool sound;
    int persistent_mode;  // 5: exclusive, 6: shared
  } rows[] = {
      // Fault found: a shrinking update wrote its own length word before its tail's (mode 5).
      // Fault found: a failed shared index write left free entries behind the data file.
      {"shrinking update before a free block", {3}, 0, 'u', "/notes/n2", "x", false, 5},
      {"delete between two free blocks", {1, 3}, 0, 'd', "/notes/n2", "", false, 0},
      // Fault found: a shared append's claim, its record write failing, ran past the end (mode 6).
      {"add at the end", {}, 0, 'a', "/notes/new", std::string(89, 'n'), false, 6},
      {"update into a longer record", {}, 0, 'u', "/notes/n4", std::string(119, 'u'), false, 0},
      // Fault found: a delete gave the space up before its entries' page was read.
      {"delete in a tree of several leaves", {}, 60, 'd', "/notes/n2", "", true, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Records before;  // "notes": n0..n5 and `more` small records, then those of `gone` deleted
    int32_t address[6] = {};
    Table* t = make_indexed("notes");
    for (int i = 0; i < 6 + row.more; ++i) {
      std::string path = (i < 6 ? "/notes/n" : "/notes/more/m") + std::to_string(i);
      const int32_t at = add(t, path, before[path] = std::string(i < 6 ? 40 : 8, char('a' + i % 6)));
      if (i < 6) address[i] = at;
    }
    for (int i : row.gone) ASSERT_EQ(delete_at(t, address[i]) + int(before.erase("/notes/n" + std::to_string(i))), 2);
    ASSERT_EQ(tb_close(t), 1);
    const std::string files[] = {read_whole_file(base("notes.db")), read_whole_file(base("notes.idx"))};
    const std::optional<std::string> after = row.op == 'd' ? std::nullopt : std::optional(row.after);
    for (int mode = 0; mode < 7; ++mode) {  // 4: any call; 5, 6: from the N-th on
      const int shared = mode == 1 || mode == 3 || mode == 6;
      const bool full = mode == 2 || mode == 3, persistent = mode >= 5;
      const bool as_it_is = full || (row.sound && mode < 2) || mode == 4;
      if ((mode == 4 && !row.sound) || (persistent && mode != row.persistent_mode)) continue;
      for (int at = 1, reached = 1; reached != 0 && !HasFailure(); ++at) {
        SCOPED_TRACE("mode " + std::to_string(mode) + ", call " + std::to_string(at));
        ASSERT_TRUE(write_whole_file(base("notes.db"), files[0]) && write_whole_file(base("notes.idx"), files[1]));
        ASSERT_NE(t = reopen("notes", shared), nullptr);
        Records expected = before;
        {
          FaultIo fault;
          fault.arm(mode == 4 ? IoKind::Any : IoKind::Write, at, persistent, full);
          const void* values[] = {row.target, row.after.c_str()};
          if (row.op == 'a') (void)tb_add_record(t, nullptr, values);
          if (row.op == 'u' && find(t, row.target) != 0) (void)tb_update_record(t, tb_find_index(t, "INDX_Path,U"), values);
          if (row.op == 'd') (void)delete_at(t, address[2]);
          reached = fault.plan().failures;
          if (persistent) (void)tb_close(t);
        }
        for (const char* path : {"/notes/later0", "/notes/later1"})
          if (!persistent && add(t, path, "zzzzz") != 0) expected[path] = "zzzzz";
        ASSERT_TRUE(persistent || tb_close(t) == 1);
        Records got = reopened(!as_it_is);
        EXPECT_TRUE(!as_it_is || reopened(true) == got) << "a rebuild changed a sound table";
        auto now = got.extract(row.target), was = expected.extract(row.target);  // empty when absent
        EXPECT_EQ(got, expected);  // every other record, and every add that gave 1
        EXPECT_TRUE(!now || (was && now.mapped() == was.mapped()) || now.mapped() == after) << now.mapped();
      }
    }
  }
}

// The N-th call of a kind (with `allocations` the N-th allocation) fails
// (from then on with `persistent`) under an operation on "t" (300 records;
// open in `mode`, -1: not open), each N it reaches with `every`. The
// operation gives 1 and the right outcome, or -1 with an error (`error`, or
// any); with `strict` -1 whenever a call failed (else it may retry). A failed
// create leaves no file of "n" (a copy may); "t" is unchanged unless it was
// open, and verifies.
TEST_F(EngineTest, AFailingCallIsAFailure) {
  using Op = int (*)(Table* t, const std::string& dir);
  static const char* fields[] = {"Path", "Remark", nullptr};
  Op create = [](Table*, const std::string& dir) { return tb_create((dir + "/n").c_str(), 0, fields) ? 1 : -1; };
  Op open = [](Table*, const std::string& dir) {  // a failed open leaves no table listed
    return tb_open((dir + "/t").c_str(), 0, 0) ? 1 : tb_tables.head ? -9 : -1;
  };
  Op alone = [](Table*, const std::string& dir) {  // without its index file: on the physical index alone
    return tb_open((dir + "/alone").c_str(), 0, 0) ? 1 : tb_tables.head ? -9 : -1;
  };
  Op copy = [](Table*, const std::string& dir) {  // a copy made is whole and sound
    if (tb_copy((dir + "/t").c_str(), (dir + "/n").c_str(), "INDX_Path,U", 0, 0) != 1) return -1;
    Table* n = tb_open((dir + "/n").c_str(), 0, 1);
    int count = 0;
    for (int rc = tb_first_record(n, tb_physical_index(n)); rc == 1; rc = tb_next_record(n, tb_physical_index(n))) ++count;
    const bool sound = count == 300 && tb_verify(n, [](void*, const char*) {}, nullptr, 1) == 0;
    return tb_close(n) == 1 && sound ? 1 : -9;
  };
  Op walk = [](Table* t, const std::string&) {
    TableIndex* ix = tb_find_index(t, "INDX_Path,U");
    int rc = tb_first_record(t, ix), n = 0;
    for (; rc == 1; rc = tb_next_record(t, ix)) ++n;
    return rc == -3 ? (n == 300 ? 1 : -9) : rc;
  };
  Op read = [](Table* t, const std::string&) {
    TableIndex* ix = tb_find_index(t, "INDX_Path,U");
    const void* key[] = {"/file/250"};
    const int rc = tb_find_key(t, ix, key);
    const std::vector<std::string> texts = rc == 2 ? read_texts(t, ix) : std::vector<std::string>{};
    return rc == -1 || (rc == 2 && texts.empty()) ? -1 : texts.size() == 2 && texts[0] == "/file/250" ? 1 : -9;
  };
  const struct {
    const char* name;
    int mode;
    IoKind kind;
    bool every, persistent, strict;
    Op op;
    int error;
    bool allocations = false;
  } rows[] = {
      {"create: any write", -1, IoKind::Write, true, false, true, create, -1},
      {"open: the catalogue's read", -1, IoKind::Read, false, true, true, open, kTbDataFile},
      {"close: the data file's", 0, IoKind::Close, false, true, true, [](Table* t, const std::string&) { return tb_close(t); }, -1},
      {"flush: the data file's", 0, IoKind::Flush, false, true, true, [](Table* t, const std::string&) { return tb_flush_table(t); }, kTbDataFile},
      {"copy: any write", -1, IoKind::Write, true, false, false, copy, -1},
      {"a walk in path order: any read", 0, IoKind::Read, true, false, false, walk, -1},
      {"a find and a read, shared: any read", 1, IoKind::Read, true, false, false, read, -1},
      {"a find and a read, shared: any lock", 1, IoKind::Lock, true, false, false, read, -1},
      {"open alone: any allocation", -1, IoKind::Any, true, false, false, alone, kTbNoMemory, true},
  };
  Table* t = make_indexed("t");
  for (int i = 0; i < 300; ++i) ASSERT_NE(add(t, "/file/" + std::to_string(i), "remark"), 0);
  ASSERT_EQ(tb_close(t) + tb_close(make_notes("alone")), 2);
  ASSERT_EQ(std::remove(base("alone.idx").c_str()), 0);
  const std::string files = read_whole_file(base("t.db")) + read_whole_file(base("t.idx"));
  for (const auto& row : rows) {
    for (int at = 1, fired = 1; fired != 0 && (at == 1 || row.every) && !HasFailure(); ++at) {
      SCOPED_TRACE(std::string(row.name) + ", call " + std::to_string(at));
      t = row.mode < 0 ? nullptr : reopen("t", row.mode);
      int rc = 0;
      {
        FaultIo fault;
        fault.arm(row.kind, row.allocations ? 0 : at, row.persistent);
        g_fail_new_at = row.allocations ? at : 0;
        rc = row.op(t, dir_.path());
        fired = row.allocations ? g_fail_new_at == 0 : fault.plan().failures;
        g_fail_new_at = 0;
      }
      EXPECT_TRUE(rc == 1 || (rc == -1 && fired != 0)) << rc;
      EXPECT_TRUE(!row.strict || rc == (fired == 0 ? 1 : -1));
      EXPECT_TRUE(rc == 1 || (row.error == -1 ? tb_error != kTbOk : tb_error == row.error)) << tb_error;
      EXPECT_TRUE(rc == 1 || row.op == copy || !(exists(base("n.db")) || exists(base("n.idx"))));
      EXPECT_TRUE(tb_tables.head == nullptr || tb_close(tb_tables.head) == 1);
      EXPECT_TRUE(row.mode >= 0 || read_whole_file(base("t.db")) + read_whole_file(base("t.idx")) == files);
      (void)(std::remove(base("n.db").c_str()) + std::remove(base("n.idx").c_str()));
    }
    ASSERT_NE(t = reopen("t"), nullptr) << tb_error;
    EXPECT_EQ(verify(t), 0) << findings_;
    EXPECT_EQ(tb_close(t), 1);
  }
}

}  // namespace
