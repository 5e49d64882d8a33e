// Sorted name arrays: the case-insensitive order, and the quicksort and the
// lookup of the first of equal names checked against a sorted model.
#include "table_handle/name_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

TEST(NameOrder, FoldsOnlyAToZAndComparesUnsigned) {
  EXPECT_EQ(nt_compare("PATH", "path"), 0);
  EXPECT_LT(nt_compare("_", "A"), 0);  // '_' lies between 'Z' and 'a'
  EXPECT_GT(nt_compare("\xC4", "z"), 0);
  EXPECT_NE(nt_compare("\xC4", "\xE4"), 0);
  EXPECT_LT(nt_compare("Path", "Path,U"), 0);
}

TEST(NameOrder, QuicksortMatchesAModelAndLookupFindsTheFirstEqual) {
  std::mt19937 rng(7);
  const char* pool[] = {"a", "B", "b", "Physical Index", "INDX_Path,U", "indx_path,u", "_x", "Zz", "m", "M"};
  auto less = [](const std::string& a, const std::string& b) { return nt_compare(a.c_str(), b.c_str()) < 0; };
  for (int n = 0; n <= 40; ++n) {
    std::vector<std::string> texts;
    for (int i = 0; i < n; ++i) texts.push_back(pool[rng() % 10]);
    std::vector<char*> names;
    for (auto& t : texts) names.push_back(t.data());
    nt_sort(names.data(), n);
    std::vector<std::string> model = texts;
    std::sort(model.begin(), model.end(), less);
    for (int i = 0; i < n; ++i) ASSERT_EQ(nt_compare(names[i], model[i].c_str()), 0) << n;
    for (const char* sought : pool) {
      auto first = std::lower_bound(model.begin(), model.end(), sought, less);
      bool present = first != model.end() && nt_compare(first->c_str(), sought) == 0;
      ASSERT_EQ(nt_find(names.data(), n, sought), present ? first - model.begin() : -1) << n << sought;
    }
  }
}
