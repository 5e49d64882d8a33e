// Folder listing: every entry, hidden ones and the dot entries included;
// folders flagged, links not followed; failures.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/listing.h"
#include "platform/threads.h"
#include "support/temp_dir.h"

namespace {

class Listing : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(write_whole_file(tmp_.file("a.txt"), "abc"));
    ASSERT_TRUE(write_whole_file(tmp_.file(".hidden"), ""));
    ASSERT_TRUE(write_whole_file(tmp_.file("plain"), ""));
    ASSERT_EQ(::chmod(tmp_.file("plain").c_str(), 0444), 0);
    ASSERT_EQ(::mkdir(tmp_.file("sub").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(tmp_.file(".cfg").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("sub", tmp_.file("link").c_str()), 0);
  }

  // Name -> attributes of every entry the pattern lists.
  std::map<std::string, DWORD> list(const std::string& pattern) {
    std::map<std::string, DWORD> out;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
      EXPECT_EQ(out.count(fd.cFileName), 0u) << fd.cFileName;
      out[fd.cFileName] = fd.dwFileAttributes;
      if (std::string(fd.cFileName) == "a.txt") {
        EXPECT_EQ(fd.nFileSizeLow, 3u);
      }
    } while (FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(h));
    return out;
  }

  TempDir tmp_;
};

TEST_F(Listing, EveryEntryWithItsAttributes) {
  std::map<std::string, DWORD> got = list(tmp_.path() + "/*.*");
  std::map<std::string, DWORD> want = {
      {".", FILE_ATTRIBUTE_DIRECTORY},
      {"..", FILE_ATTRIBUTE_DIRECTORY},
      {"a.txt", FILE_ATTRIBUTE_NORMAL},
      {".hidden", FILE_ATTRIBUTE_HIDDEN},
      {"plain", FILE_ATTRIBUTE_READONLY},
      {"sub", FILE_ATTRIBUTE_DIRECTORY},
      {".cfg", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN},
      {"link", FILE_ATTRIBUTE_NORMAL},  // a link to a folder is not followed
  };
  EXPECT_EQ(got, want);
  EXPECT_EQ(list(tmp_.path() + "\\*.*"), want);  // the separator the walk writes
  EXPECT_EQ(list(tmp_.path() + "/*"), want);
}

TEST_F(Listing, NamePatternsAndFailures) {
  EXPECT_EQ(list(tmp_.path() + "/*.txt"), (std::map<std::string, DWORD>{{"a.txt", FILE_ATTRIBUTE_NORMAL}}));
  WIN32_FIND_DATAA fd;
  EXPECT_EQ(FindFirstFileA((tmp_.path() + "/*.none").c_str(), &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(FindFirstFileA((tmp_.path() + "/missing\\*.*").c_str(), &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(FindFirstFileA((tmp_.file("a.txt") + "/*.*").c_str(), &fd), INVALID_HANDLE_VALUE);  // not a folder
  HANDLE h = FindFirstFileA((tmp_.path() + "/*.*").c_str(), &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);  // a search is nothing to wait on
  EXPECT_TRUE(FindClose(h));
  EXPECT_FALSE(FindClose(h));
  EXPECT_FALSE(FindNextFileA(h, &fd));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
