// tb_compare_keys: the key space by first byte, directory names, free-space
// keys, and keyed entries part by part by field type, with short search keys,
// bare number bytes, damaged keys and the one-entry cache across tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_fixture.h"

namespace {

using Key = std::vector<uint8_t>;

int cmp(const Key& a, const Key& b) {
  // Exact-size heap copies: the sanitizer sees any read past a key.
  Key x = a, y = b;
  return tb_compare_keys(x.data(), static_cast<int>(x.size()), y.data(), static_cast<int>(y.size()));
}

Key bytes(std::initializer_list<int> list) {
  Key k;
  for (int v : list) k.push_back(static_cast<uint8_t>(v));
  return k;
}

Key text(int number, const std::string& s) { return EngineTest::text_key(number, {s}); }

template <typename V>
Key& append(Key& k, V v) {
  uint8_t raw[sizeof(V)];
  std::memcpy(raw, &v, sizeof(V));  // the value's bytes as a record stores them
  k.insert(k.end(), raw, raw + sizeof(V));
  return k;
}

class CompareTest : public EngineTest {
 protected:
  // Fields: 0 Name, 1 Code,C, 2 N,I, 3 W,U, 4 L,L, 5 F,F, 6 D,D, 7 Blob,B3.
  // Indexes: 1 Name; 2 Code,C; 3 Name + N,I; 4 W,U; 5 L,L + F,F; 6 D,D;
  //          7 Blob,B3 + Name.
  void SetUp() override {
    EngineTest::SetUp();
    const char* fields[] = {"Name", "Code,C", "N,I", "W,U", "L,L", "F,F", "D,D", "Blob,B3", nullptr};
    Table* t = tb_create(base("keys").c_str(), 0, fields);
    ASSERT_NE(t, nullptr);
    const std::vector<std::vector<std::string>> defs = {
        {"Name"}, {"Code,C"}, {"Name", "N,I"}, {"W,U"}, {"L,L", "F,F"}, {"D,D"}, {"Blob,B3", "Name"}};
    for (size_t i = 0; i < defs.size(); ++i)
      ASSERT_EQ(add_directory_entry(t, "I" + std::to_string(i + 1), defs[i], static_cast<int32_t>(i + 1)), 1);
    ASSERT_EQ(tb_close(t), 1);
    table_ = tb_open(base("keys").c_str(), 0, 0);
    ASSERT_NE(table_, nullptr);
    ASSERT_EQ(table_->index_count, 8);
    tb_set_current_table(table_);
  }

  Table* table_ = nullptr;
};

TEST_F(CompareTest, FirstByteOrdersTheKeySpace) {
  EXPECT_EQ(cmp(bytes({0, 'z', 0}), bytes({1, 'a', 0})), -1);
  EXPECT_EQ(cmp(bytes({7, 0, 0, 0, 0}), bytes({254, 0, 0, 0, 0})), -1);
  EXPECT_EQ(cmp(bytes({254, 255, 255, 255, 255}), bytes({255, 0, 0})), -1);
  EXPECT_EQ(cmp(bytes({255, 0, 0}), bytes({1})), 1);
}

TEST_F(CompareTest, DirectoryNamesIgnoreCase) {
  EXPECT_EQ(cmp(directory_key("INDX_Path,U", {"Path"}), directory_key("indx_path,u", {"Other"})), 0);
  EXPECT_EQ(cmp(directory_key("abc", {}), directory_key("ABD", {})), -1);
  EXPECT_EQ(cmp(directory_key("Physical Index", {}), directory_key("INDX_Path,U", {})), 1);
  EXPECT_EQ(cmp(directory_key("ab", {}), directory_key("abc", {})), -1);
}

TEST_F(CompareTest, FreeSpaceKeysAreNumeric) {
  // Sizes 300 and 255, most significant byte first.
  EXPECT_EQ(cmp(bytes({255, 0x01, 0x2C}), bytes({255, 0x00, 0xFF})), 1);
  EXPECT_EQ(cmp(bytes({255, 0x01, 0x2C}), bytes({255, 0x01, 0x2C})), 0);
  // Addresses 70000 and 65536.
  EXPECT_EQ(cmp(bytes({254, 0, 1, 0x11, 0x70}), bytes({254, 0, 1, 0, 0})), 1);
  EXPECT_EQ(cmp(bytes({254, 0, 0, 0, 0x80}), bytes({254, 0, 0, 1, 0})), -1);
}

TEST_F(CompareTest, TextOfTypeZeroIgnoresCaseAndTypeOneDoesNot) {
  EXPECT_EQ(cmp(text(1, "abc"), text(1, "ABC")), 0);
  EXPECT_EQ(cmp(text(1, "abc"), text(1, "ABD")), -1);
  EXPECT_EQ(cmp(text(2, "ABC"), text(2, "abc")), -1);
  EXPECT_EQ(cmp(text(2, "abc"), text(2, "abc")), 0);
  // Bytes compare unsigned: 0xE9 sorts after 'z'.
  EXPECT_EQ(cmp(text(2, "\xE9"), text(2, "z")), 1);
  EXPECT_EQ(cmp(text(1, "ab"), text(1, "abc")), -1);
}

TEST_F(CompareTest, BareNumberByteIsBelowEveryEntryOfItsIndex) {
  EXPECT_EQ(cmp(bytes({1}), bytes({1})), 0);
  EXPECT_EQ(cmp(bytes({1}), text(1, "")), -1);
  EXPECT_EQ(cmp(text(1, ""), bytes({1})), 1);
  EXPECT_EQ(cmp(bytes({3}), text(3, "a")), -1);
  EXPECT_EQ(cmp(bytes({2}), text(1, "zzz")), 1);
}

TEST_F(CompareTest, ShortSearchKeySortsBeforeFullKeysWithItsParts) {
  Key full = text(3, "abc");
  append<int16_t>(full, -7);
  Key search = text(3, "ABC");
  EXPECT_EQ(cmp(search, full), -1);
  EXPECT_EQ(cmp(full, search), 1);
  EXPECT_EQ(cmp(text(3, "abd"), full), 1);  // the first part decides
  Key other = text(3, "abc");
  append<int16_t>(other, 2);
  EXPECT_EQ(cmp(full, other), -1);  // -7 < 2 as signed
}

TEST_F(CompareTest, NumbersCompareByTheirType) {
  Key a = bytes({4}), b = bytes({4});
  append<uint16_t>(a, 0xFFFF);
  append<uint16_t>(b, 1);
  EXPECT_EQ(cmp(a, b), 1);  // unsigned

  Key c = bytes({5}), d = bytes({5});
  append<int32_t>(c, -70000);
  append<float>(c, 1.0f);
  append<int32_t>(d, -70000);
  append<float>(d, -1.5f);
  EXPECT_EQ(cmp(c, d), 1);  // equal first part, float decides
  Key e = bytes({5});
  append<int32_t>(e, 65536);
  EXPECT_EQ(cmp(d, e), -1);

  Key f = bytes({6}), g = bytes({6});
  append<double>(f, 1e10);
  append<double>(g, 1e9);
  EXPECT_EQ(cmp(f, g), 1);
  EXPECT_EQ(cmp(g, f), -1);
}

// Every pair of an ascending list, both ways round: numbers by value (-0
// and +0 one key), NaNs above +infinity and among themselves by bit pattern.
template <typename F>
void expectAscending(int number) {
  using L = std::numeric_limits<F>;
  const F order[] = {-L::infinity(), F(-1.5), F(0), L::infinity(), L::signaling_NaN(), L::quiet_NaN(),
                     std::copysign(L::quiet_NaN(), F(-1))};
  auto key = [number](F v) {
    Key k = bytes({number});
    return append<F>(number == 5 ? append<int32_t>(k, 0) : k, v);  // index 5: L,L before F,F
  };
  for (int i = 0; i < 7; ++i)
    for (int j = 0; j < 7; ++j) EXPECT_EQ(cmp(key(order[i]), key(order[j])), i < j ? -1 : i > j) << i << "," << j;
  EXPECT_EQ(cmp(key(F(0)), key(-F(0))), 0);
}

TEST_F(CompareTest, FloatsAreInOneTotalOrder) {
  expectAscending<float>(5);
  expectAscending<double>(6);
}

TEST_F(CompareTest, BinaryPartsUseTheFieldWidth) {
  Key a = bytes({7, 1, 2, 3}), b = bytes({7, 1, 2, 3});
  a.push_back('a');
  a.push_back(0);
  b.push_back('B');
  b.push_back(0);
  EXPECT_EQ(cmp(a, b), -1);  // three equal bytes, then "a" < "B" ignoring case
  Key c = bytes({7, 1, 2, 4, 'a', 0});
  EXPECT_EQ(cmp(a, c), -1);
  EXPECT_EQ(cmp(bytes({7, 1, 2, 3}), a), -1);  // search key of the binary part only
}

TEST_F(CompareTest, DamagedKeysAreReadOnlyWithinTheirLength) {
  Key cut = bytes({1, 'a', 'b', 'c'});  // text without its terminator
  EXPECT_EQ(cmp(cut, text(1, "abc")), 0);
  EXPECT_EQ(cmp(bytes({3, 'a', 0, 5}), bytes({3, 'a', 0, 5, 0})), -1);  // half a 16-bit part
  EXPECT_EQ(cmp(bytes({6, 1, 2}), bytes({6, 1, 2, 3, 4, 5, 6, 7, 8})), -1);
  // A number the current table does not know compares byte by byte.
  EXPECT_EQ(cmp(bytes({9, 'b'}), bytes({9, 'a', 'z'})), 1);
  tb_set_current_table(nullptr);
  EXPECT_EQ(cmp(text(1, "abc"), text(1, "ABC")), 1);
}

TEST_F(CompareTest, CacheIsForgottenWhenTheTableCloses) {
  EXPECT_EQ(cmp(text(1, "abc"), text(1, "ABC")), 0);  // caches index 1 of this table
  ASSERT_EQ(tb_close(table_), 1);
  // Another table whose index 1 compares text by bytes; its Table may well
  // reuse the freed memory of the first.
  const char* fields[] = {"Code,C", nullptr};
  Table* t = tb_create(base("other").c_str(), 0, fields);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(add_directory_entry(t, "ByCode", {"Code,C"}, 1), 1);
  ASSERT_EQ(tb_close(t), 1);
  t = tb_open(base("other").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  tb_set_current_table(t);
  EXPECT_EQ(cmp(text(1, "ABC"), text(1, "abc")), -1);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(CompareTest, IndexFileKeepsEntriesInThisOrder) {
  TableIndex* by_name = tb_find_index(table_, "I1");
  ASSERT_NE(by_name, nullptr);
  const char* names[] = {"delta", "Alpha", "charlie", "BRAVO", "echo"};
  int32_t ref = 100;
  for (const char* n : names) {
    Key k = text(1, n);
    ASSERT_EQ(ix_insert(by_name->handle, k.data(), static_cast<int>(k.size()), ref++, 1), 1);
  }
  Key size_key = bytes({255, 0, 9});
  ASSERT_EQ(ix_insert(table_->space_index, size_key.data(), 3, 500, 1), 1);
  Key addr_key = bytes({254, 0, 0, 1, 0});
  ASSERT_EQ(ix_insert(table_->space_index, addr_key.data(), 5, 9, 0), 1);

  IndexHandle* walk = ix_open(table_->index_file_name, tb_compare_keys, 0, 1);  // cursor before the first
  ASSERT_NE(walk, nullptr);
  std::vector<std::string> seen;
  uint8_t key[512];
  int32_t r = 0;
  while (ix_next(walk, &r) == 1) {
    int n = 0;
    ASSERT_EQ(ix_current_key_length(walk, &n), 1);
    ASSERT_EQ(ix_current_key(walk, key, sizeof key), 1);
    if (key[0] == 1) seen.emplace_back(reinterpret_cast<char*>(key + 1));
    else seen.push_back("#" + std::to_string(key[0]));
  }
  std::vector<std::string> expected(8, "#0");  // the directory
  for (const char* n : {"Alpha", "BRAVO", "charlie", "delta", "echo"}) expected.emplace_back(n);
  expected.emplace_back("#254");
  expected.emplace_back("#255");
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(ix_close(walk), 1);
}

}  // namespace
