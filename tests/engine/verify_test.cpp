// The key order of the index file, key pairs compared both ways round; one
// damage table: what the verifier, a reopen and a rebuild say of a patched
// table, never a crash.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>

#include "engine_fixture.h"

namespace {

using Key = std::vector<uint8_t>;

// Fields 0 Name, 1 Code,C, 2 N,I, 3 W,U, 4 L,L, 5 F,F, 6 D,D, 7 Blob,B3; indexes
// 1 Name; 2 Code,C; 3 Name + N,I; 4 W,U; 5 L,L + F,F; 6 D,D; 7 Blob,B3 + Name.
TEST_F(EngineTest, KeysCompareBothWaysRoundInOneOrder) {
  auto cmp = [](Key a, Key b) {  // exact-size heap copies: the sanitizer sees any read past a key
    return tb_compare_keys(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
  };
  auto num = [](Key k, auto... values) {  // `k`, then each value's bytes as a record stores them
    auto put = [&k](auto v) { k.resize(k.size() + sizeof v), std::memcpy(&k[k.size() - sizeof v], &v, sizeof v); };
    (put(values), ...);
    return k;
  };
  auto text = [](int number, const std::string& s) { return text_key(number, {s}); };
  Table* t = create("keys", {"Name", "Code,C", "N,I", "W,U", "L,L", "F,F", "D,D", "Blob,B3"});
  const std::vector<std::vector<const char*>> defs = {{"Name"}, {"Code,C"}, {"Name", "N,I"}, {"W,U"},
                                                      {"L,L", "F,F"}, {"D,D"}, {"Blob,B3", "Name"}};
  for (int i = 1; i <= 7; ++i) ASSERT_EQ(create_index(t, ("I" + std::to_string(i)).c_str(), defs[i - 1]), 1);
  const struct {
    const char* name;
    Key a, b;
    int expected;
  } rows[] = {
      {"directory below keyed", text(0, "z"), text(1, "a"), -1},
      {"directory names ignore case", directory_key("INDX_Path,U", {"Path"}), directory_key("indx_path,u", {"X"}), 0},
      {"sizes 300 and 255", Key{255, 0x01, 0x2C}, Key{255, 0x00, 0xFF}, 1},
      {"addresses 70000 and 65536", Key{254, 0, 1, 0x11, 0x70}, Key{254, 0, 1, 0, 0}, 1},
      {"text ignores case", text(1, "/home/user/notes/a"), text(1, "/HOME/USER/NOTES/A"), 0},
      {"exact text keeps case", text(2, "ABC"), text(2, "abc"), -1},
      {"bytes compare unsigned", text(2, "\xE9"), text(2, "z"), 1},
      {"search key below full keys", text(3, "ABC"), num(text(3, "abc"), int16_t{-7}), -1},
      {"search keys of one part equal", text(3, "ABC"), text(3, "abc"), 0},
      {"int16 signed", num(text(3, "abc"), int16_t{-7}), num(text(3, "abc"), int16_t{2}), -1},
      {"uint16 unsigned", num(Key{4}, uint16_t{0xFFFF}), num(Key{4}, uint16_t{1}), 1},
      {"float after equal int32", num(Key{5}, int32_t{-70000}, 1.0f), num(Key{5}, int32_t{-70000}, -1.5f), 1},
      {"binary part by width, then text", Key{7, 1, 2, 3, 'a', 0}, Key{7, 1, 2, 3, 'B', 0}, -1},
      {"half a 16-bit part", Key{3, 'a', 0, 5}, Key{3, 'a', 0, 5, 0}, -1},
      {"unknown number by bytes", Key{9, 'b'}, Key{9, 'a', 'z'}, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(cmp(row.a, row.b), row.expected);
    EXPECT_EQ(cmp(row.b, row.a), -row.expected);
  }
  // Floats by value (-0 and +0 one key), NaNs above +infinity, by bit pattern.
  using D = std::numeric_limits<double>;
  const double order[] = {-D::infinity(), -1.5, 0, D::infinity(), D::signaling_NaN(), D::quiet_NaN(), -D::quiet_NaN()};
  for (int i = 0; i < 7; ++i)
    for (int j = 0; j < 7; ++j) EXPECT_EQ(cmp(num(Key{6}, order[i]), num(Key{6}, order[j])), i < j ? -1 : i > j);
  EXPECT_EQ(cmp(num(Key{5}, 0, -0.0f), num(Key{5}, 0, 0.0f)), 0);
  tb_set_current_table(nullptr);  // no table: keyed entries by their bytes
  EXPECT_EQ(cmp(text(1, "abc"), text(1, "ABC")), 1);
  EXPECT_EQ(tb_close(t), 1);
}

// Fault found: with NaN float keys out of one order, stored keys were not found again.
TEST_F(EngineTest, FloatKeysWithANaNAreFoundAgain) {
  Table* t = create("floats", {"D,D"});
  ASSERT_EQ(create_index(t, "D", {"D,D"}), 1);
  const double values[] = {1.0, 2.0, std::nan(""), 0.5, 1.5, 3.0};
  for (const double& d : values) {
    const void* record[] = {&d};
    ASSERT_EQ(tb_add_record(t, nullptr, record), 1);
  }
  for (const double& d : values) {
    const void* key[] = {&d};
    ASSERT_EQ(tb_find_key(t, tb_find_index(t, "D"), key), 2) << d;
    ASSERT_EQ(tb_delete_record(t, tb_find_index(t, "D")), 1) << d;
  }
  EXPECT_EQ(verify(t), 0) << findings_;
  EXPECT_EQ(tb_close(t), 1);
}


// One row per kind of damage to the table a..e ({n}: the address the row
// noted). A row that closes the table patched its files; a reopen leaves
// `open` (kTbDataFile: no table; 12: the physical index alone, no index can
// be made). Then the verifier's findings (the current record left current),
// a rebuild's result (0: not tried; -1: damage at {n}), the verifier clean.
TEST_F(EngineTest, EachKindOfDamageIsReportedOrRefused) {
  Table* t = nullptr;
  auto make_busy = [&] {  // path-indexed, ByRemark (number 2) on the remark's first three characters
    Table* m = make_indexed("t");
    EXPECT_EQ(create_index(m, "ByRemark", {"Remark:3"}), 1);
    for (const char* p : {"a", "b", "c", "d", "e"}) EXPECT_NE(add(m, p, std::string("remark of ") + p), 0);
    return m;
  };
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
      {"spec without its terminator", entry(Key(cut.begin(), cut.end() - 1), 3), 12, unused},
      {"no damage: the header written as it was", [&] { header(12, 2, names, read_whole_file(base("t.db")).substr(16))(); }, 0, {0, {}, true}},
      {"names block longer than the file", header(100, 2, names), kTbDataFile},
      {"negative length", header(-5, 1, "Path" + std::string(1, '\0')), kTbDataFile},
      {"negative count", header(12, -1, names), kTbDataFile},
      {"more fields than names", header(12, 3, names), kTbDataFile},
      {"last name not terminated", header(8, 1, std::string("Path\0Rem", 8)), kTbDataFile},
      {"file shorter than its header", closing([] {}, [&] { ASSERT_TRUE(write_whole_file(base("t.db"), "\x0c")); }), kTbDataFile},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_NE(t = make_busy(), nullptr);
    row.damage();
    ASSERT_FALSE(HasFatalFailure());
    const bool reopened = t == nullptr && (t = reopen("t"), true);
    EXPECT_TRUE(!reopened || tb_error == row.open) << tb_error;
    if (row.open == kTbDataFile) {
      EXPECT_TRUE(t == nullptr && tb_tables.head == nullptr);
      continue;
    }
    ASSERT_NE(t, nullptr);
    if (row.open == kTbIndexFileUnusable) {
      EXPECT_EQ(strings(tb_index_names(t)), std::vector<std::string>{"Physical Index"});
      EXPECT_TRUE(create_index(t, "X", {"Path"}) == -1 && tb_error == kTbIndexFileUnusable) << tb_error;
    }
    TableIndex* by_path = tb_find_index(t, "INDX_Path,U");  // none on the physical index alone
    EXPECT_TRUE(by_path == nullptr || find(t, "a") != 0);
    expect_findings(verify(t), findings_, row.found, n);
    EXPECT_TRUE(by_path == nullptr || read_texts(t, by_path).at(0) == "a");  // the verifier moved no cursor
    rec_corrupt_address = 0;
    const bool gone = !exists(base("t.idx"));  // then rebuilt without replacing, at another page size
    EXPECT_TRUE(row.rebuild == 0 || tb_rebuild(t, gone ? 256 : 0, gone ? 0 : 1) == row.rebuild);
    EXPECT_TRUE(row.rebuild != 1 || (verify(t) == 0 && ix_page_size(base("t.idx").c_str()) == (gone ? 256 : 512))) << findings_;
    EXPECT_TRUE(row.rebuild != -1 || rec_corrupt_address == n) << rec_corrupt_address;
    EXPECT_EQ(tb_close(t), 1);
  }
}

}  // namespace
