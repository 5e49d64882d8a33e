// The whole-table verifier and the open check against damage. A randomized
// model test keeps the verifier clean through adds, updates and deletes; one
// damage table patches bytes or entries of a sound table and states what the
// verifier, a reopen and a rebuild must then say, never a crash.
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <random>

#include "engine_fixture.h"

namespace {

using Key = std::vector<uint8_t>;

class VerifyTest : public EngineTest {
 protected:
  // The path-indexed notes table with the index ByRemark (number 2) on the
  // remark's first three characters, and the records a..e.
  Table* make_busy(const std::string& name) {
    Table* t = make_indexed(name);
    if (t == nullptr || create_index(t, "ByRemark", {"Remark:3"}) != 1) return nullptr;
    for (const char* p : {"a", "b", "c", "d", "e"})
      if (add(t, p, std::string("remark of ") + p) == 0) return nullptr;
    return t;
  }
};

// Random adds, updates (some renaming) and deletes against a map by path;
// every 50 steps the verifier is clean and leaves the current record current;
// midway the table is reopened shared.
TEST_F(VerifyTest, ModelStaysCleanThroughAddsUpdatesAndDeletes) {
  Table* t = make_busy("busy");
  ASSERT_NE(t, nullptr);
  std::map<std::string, std::string> model{{"a", "a"}, {"b", "b"}, {"c", "c"}, {"d", "d"}, {"e", "e"}};
  std::mt19937 rng(20240601);  // model: lower-cased path -> path as stored
  auto text = [&](int max) {
    std::string s(1 + rng() % static_cast<unsigned>(max), 'x');
    for (auto& c : s) c = static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % 26);
    return s;
  };
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  auto any = [&] { return std::next(model.begin(), static_cast<long>(rng() % model.size())); };
  for (int step = 1; step <= 600; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    if (step == 300) {
      ASSERT_EQ(tb_close(t), 1);
      ASSERT_NE(t = reopen("busy", 1), nullptr);
    }
    TableIndex* by_path = tb_find_index(t, "INDX_Path,U");
    if (step % 50 == 0) {
      auto it = any();
      ASSERT_NE(find(t, it->second), 0);
      ASSERT_EQ(verify(t), 0) << findings_;
      const bool last = std::next(it) == model.end();
      ASSERT_EQ(tb_next_record(t, by_path), last ? -3 : 1);
      if (!last) {
        EXPECT_EQ(read_texts(t, by_path).at(0), std::next(it)->second);
      }
    }
    const int op = static_cast<int>(rng() % 3);
    std::string p = text(12), r = text(90);
    if (op == 0 || model.size() < 5) {
      if (model.count(lower(p)) != 0) continue;
      ASSERT_NE(add(t, p, r), 0) << tb_error;
      model[lower(p)] = p;
      continue;
    }
    auto it = any();
    ASSERT_NE(find(t, it->second), 0);
    if (op == 1) {
      if (rng() % 4 != 0) p = it->second;
      if (lower(p) != it->first && model.count(lower(p)) != 0) continue;
      const void* values[] = {p.c_str(), r.c_str()};
      ASSERT_EQ(tb_update_record(t, by_path, values), 1) << tb_error;
      model.erase(it);
      model[lower(p)] = p;
    } else {
      ASSERT_EQ(tb_delete_record(t, by_path), 1);
      model.erase(it);
    }
  }
  EXPECT_EQ(live("busy").size(), model.size());
  EXPECT_EQ(tb_close(t), 1);
}

// One row per kind of damage to the table a..e ({n}: the address the row
// noted). A row that closes the table patched its files, and a reopen leaves
// `open` (kTbDataFile: no table; 12: the physical index alone, where no index
// can be made). Then the verifier's findings, and a rebuild's result (0: not
// tried; -1: damage at {n}), after which the verifier is clean.
TEST_F(VerifyTest, EachKindOfDamageIsReportedOrRefused) {
  Table* t = nullptr;
  int32_t n = 0;
  auto note = [&](const char* path) { ASSERT_NE(n = find(t, path), 0); };
  auto put = [&](IndexHandle* h, Key k, int32_t ref) { ASSERT_EQ(ix_insert(h, k.data(), int(k.size()), ref, 1), 1); };
  auto del = [&](IndexHandle* h, Key k, int32_t ref) { ASSERT_EQ(ix_delete(h, k.data(), int(k.size()), ref), 1); };
  auto sizes = [](int32_t s) { return Key{0xFF, uint8_t(s >> 8), uint8_t(s)}; };
  auto at = [](int32_t a) { return Key{0xFE, uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)}; };
  auto word = [](int32_t w) { return std::string{char(w), char(w >> 8)}; };  // low byte first
  auto word_at = [&](int32_t a) {
    uint8_t b[2] = {0, 0};
    return io_read_at(t->data_file, a, 2, b) == 1 ? get_i16(b) : 0;
  };
  auto poke = [&](int32_t a, const std::string& s) { ASSERT_EQ(io_write_at(t->data_file, a, int(s.size()), s.data()), 1); };
  auto end = [&] { ASSERT_EQ(io_file_size(t->data_file, &n), 1); };
  auto closing = [&](std::function<void()> before, std::function<void()> after) {
    return [&, before, after] { before(); ASSERT_EQ(tb_close(t), 1); t = nullptr; after(); };
  };
  auto entry = [&](const Key& key, int32_t n) { return closing([&, key, n] { put(t->directory, key, n); }, [] {}); };
  auto header = [&](int32_t length, int32_t count, const std::string& names, const std::string& rest = "") {
    return closing([] {}, [=, this] { ASSERT_TRUE(write_whole_file(base("t.db"), word(length) + word(count) + names + rest)); });
  };
  const auto remark = directory_key("ByRemark", {"Remark:3"}), cut = directory_key("Cut", {"Path"});
  const std::string names("Path\0Remark\0", 12);
  const FindingsExpected unused{1, {"not in use"}, true};
  const struct {
    const char* name;
    std::function<void()> damage;
    int open;
    FindingsExpected found = {};
    int rebuild = 1;
  } rows[] = {
      {"record missing from an index", [&] { note("b"), del(t->directory, text_key(1, {"b"}), n); }, 0, {1, {"the record at {n} has 0 entries"}}},
      {"entry under a key not its own", [&] { note("b"), put(t->directory, text_key(1, {"zz"}), n); }, 0, {1, {"not under the key built"}}},
      {"entry inside a record", [&] { note("b"), put(t->directory, text_key(1, {"y"}), n + 3); }, 0, {1, {"which is not a live record"}}},
      {"entry of no index", [&] { note("a"), put(t->directory, text_key(40, {"a"}), n); }, 0, {1, {"index number 40"}}},
      {"free block without entries", [&] {
         note("c");
         ASSERT_EQ(tb_delete_record(t, tb_find_index(t, "INDX_Path,U")), 1);
         del(t->space_index, sizes(-word_at(n)), n), del(t->space_index, at(n), -word_at(n));
       }, 0, {1, {"has 0 size and 0 address entries"}}},
      {"free-space entries for a record", [&] { note("d"), put(t->space_index, sizes(word_at(n)), n), put(t->space_index, at(n), word_at(n)); },
       0, {2, {"a size entry names a free block", "an address entry names a free block", "it is a live record"}}},
      {"shortened length word", [&] { note("b"), poke(n, word(word_at(n) - 2)); }, 0, {1, {}}, 0},
      {"length word past the end", [&] { note("b"), poke(n, word(30000)); }, 0, {1, {"runs past the end of the file"}}, -1},
      {"free block past the end", [&] { note("b"), poke(n, word(-30000)); }, 0, {1, {"runs past the end of the file"}}, -1},
      {"stray byte after the last block", [&] { end(), poke(n, "A"); }, 0, {1, {"stray byte"}}, -1},
      {"claim at the end cut short", [&] { end(), poke(n, word(-200) + std::string(50, '\0')); }, 0, {1, {"runs past the end"}}},
      {"directory entry with the wrong number", [&] { del(t->directory, remark, 2), put(t->directory, remark, 9); }, 0,
       {2, {"'ByRemark' (number 9) is not an index of the open table", "has no directory entry"}}},
      {"directory entry with other key fields", [&] { del(t->directory, remark, 2), put(t->directory, directory_key("ByRemark", {"Path"}), 2); },
       0, {1, {"key fields stored for index 'ByRemark' differ"}}},
      {"no index file", closing([] {}, [&] { ASSERT_EQ(std::remove(base("t.idx").c_str()), 0); }), 12, unused},
      {"no physical entry", closing([&] { del(t->directory, directory_key("Physical Index", {}), 0); }, [] {}), 12, unused},
      {"keyed number above 127", entry(directory_key("High", {"Path"}), 128), 12, unused},
      {"spec naming no field", entry(directory_key("Bad", {"Missing"}), 3), 12, unused},
      {"zero-length part", entry(directory_key("Bad", {"Path:0"}), 3), 12, unused},
      {"number used twice", entry(directory_key("Again", {"Remark"}), 1), 12, unused},
      {"second physical entry", entry(directory_key("Again", {}), 0), 12, unused},
      {"spec without its terminator", entry(Key(cut.begin(), cut.end() - 1), 3), 12, unused},
      {"no damage: the header written as it was", [&] { header(12, 2, names, read_whole_file(base("t.db")).substr(16))(); }, 0, {0, {}, true}},
      {"names block longer than the file", header(100, 2, names), kTbDataFile},
      {"negative length", header(-5, 1, "Path" + std::string(1, '\0')), kTbDataFile},
      {"negative count", header(12, -1, names), kTbDataFile},
      {"more fields than names", header(12, 3, names), kTbDataFile},
      {"fewer fields than names", header(12, 1, names), kTbDataFile},
      {"last name not terminated", header(8, 1, std::string("Path\0Rem", 8)), kTbDataFile},
      {"file shorter than its header", closing([] {}, [&] { ASSERT_TRUE(write_whole_file(base("t.db"), "\x0c")); }), kTbDataFile},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_NE(t = make_busy("t"), nullptr);
    row.damage();
    ASSERT_FALSE(HasFatalFailure());
    const bool reopened = t == nullptr && (t = reopen("t"), true);
    EXPECT_TRUE(!reopened || tb_error == row.open) << tb_error;
    if (row.open == kTbDataFile) {
      EXPECT_EQ(t, nullptr);
      EXPECT_EQ(tb_tables.head, nullptr);
      continue;
    }
    ASSERT_NE(t, nullptr);
    if (row.open == kTbIndexFileUnusable) {
      EXPECT_EQ(strings(tb_index_names(t)), std::vector<std::string>{"Physical Index"});
      EXPECT_EQ(create_index(t, "X", {"Path"}), -1);
      EXPECT_EQ(tb_error, kTbIndexFileUnusable);
    }
    expect_findings(verify(t), findings_, row.found, n);
    rec_corrupt_address = 0;
    const bool gone = !exists(base("t.idx"));  // then rebuilt without replacing, at another page size
    EXPECT_TRUE(row.rebuild == 0 || tb_rebuild(t, gone ? 256 : 0, gone ? 0 : 1) == row.rebuild);
    EXPECT_TRUE(row.rebuild != 1 || (verify(t) == 0 && ix_page_size(base("t.idx").c_str()) == (gone ? 256 : 512))) << findings_;
    EXPECT_TRUE(row.rebuild != -1 || rec_corrupt_address == n) << rec_corrupt_address;
    EXPECT_EQ(tb_close(t), 1);
  }
}

}  // namespace
