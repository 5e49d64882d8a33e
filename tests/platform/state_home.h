// Shared by the platform tests: a fixture that points QB_HOME at a fresh
// folder for each test, and a capture of what is written to standard error.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>

#include "support/fork_helper.h"
#include "support/temp_dir.h"

class StateHome : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = tmp_.path() + "/state";
    ::setenv("QB_HOME", home_.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("QB_HOME"); }

  // Points QB_HOME somewhere else (the state there starts empty).
  void move_home(const std::string& to) {
    home_ = to;
    ::setenv("QB_HOME", home_.c_str(), 1);
  }
  std::string state_file(const char* name) const { return home_ + "/" + name; }

  TempDir tmp_;
  std::string home_;
};

// Sends file descriptor 2 to a file until finish().
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~StderrCapture() { finish(); }
  std::string finish() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      ::dup2(saved_, 2);
      ::close(saved_);
      saved_ = -1;
    }
    return read_whole_file(path_);
  }

 private:
  std::string path_;
  int saved_ = -1;
};

inline int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Two processes, 'A' and 'B', each making `writes` changes write(tag, i)
// (false: it failed), let go at the same moment. True when both made all
// of theirs.
inline bool write_at_once(unsigned writes, const std::function<bool(char tag, unsigned i)>& write) {
  auto writer = [&](char tag) {
    return fork_child([&write, tag, writes](int in, int) {
      char go;
      if (recv_byte(in, &go) != 1) return 2;
      for (unsigned i = 0; i < writes; ++i)
        if (!write(tag, i)) return 3;
      return 0;
    });
  };
  Child a = writer('A'), b = writer('B');
  send_byte(a.to_child, 'g');
  send_byte(b.to_child, 'g');
  const int ra = wait_child(a), rb = wait_child(b);
  return ra == 0 && rb == 0;
}
