// A fresh temporary folder for one test, removed with everything in it.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Reads a whole file into a string ("" when it cannot be read).
std::string read_whole_file(const std::string& path);
// Writes bytes to a file, replacing it.
bool write_whole_file(const std::string& path, const std::string& bytes);
// `path` with its links resolved, or as given when it cannot be.
std::string resolved(const std::string& path);
