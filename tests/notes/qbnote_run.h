// Running the real qbnote binary on a temporary state folder: a fixture for
// every end-to-end test of the notes program.
//
// Each test gets a fresh folder holding `state/` (QB_HOME of every run) and
// `files/` (real files and folders the notes are about). A run's standard
// input comes from a file, its standard output and error go to files, so
// that no pipe can fill up and stall either side.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

struct QbRun {
  int status = -1;  // exit status, or -1 when killed by a signal
  std::string out;
  std::string err;
};

class QbnoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = tmp_.path() + "/state";
    files_ = tmp_.path() + "/files";
    ::mkdir(files_.c_str(), 0700);
    // Notes are stored under resolved folders; TMPDIR may lie behind a link.
    char resolved[PATH_MAX];
    if (::realpath(files_.c_str(), resolved) != nullptr) files_ = resolved;
    if (::getcwd(resolved, sizeof resolved) != nullptr) cwd_ = resolved;
  }
  void TearDown() override { (void)!::chdir(cwd_.c_str()); }

 public:
  // Starts qbnote with `args` and returns at once; finish() collects it.
  pid_t start(const std::vector<std::string>& args, const std::string& input = "",
              const std::vector<std::pair<std::string, std::string>>& env = {}) {
    const int n = ++runs_;
    const std::string in = tmp_.file("in." + std::to_string(n));
    write_whole_file(in, input);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("QB_HOME", home_.c_str(), 1);
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      redirect(in, 0, O_RDONLY);
      redirect(tmp_.file("out." + std::to_string(n)), 1, O_WRONLY | O_CREAT | O_TRUNC);
      redirect(tmp_.file("err." + std::to_string(n)), 2, O_WRONLY | O_CREAT | O_TRUNC);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(QBNOTE_BIN));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(QBNOTE_BIN, argv.data());
      ::_exit(127);
    }
    started_.push_back({pid, n});
    return pid;
  }

  QbRun finish(pid_t pid) {
    QbRun r;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (const auto& [p, n] : started_) {
      if (p != pid) continue;
      r.out = read_whole_file(tmp_.file("out." + std::to_string(n)));
      r.err = read_whole_file(tmp_.file("err." + std::to_string(n)));
    }
    return r;
  }

  QbRun run(const std::vector<std::string>& args, const std::string& input = "",
            const std::vector<std::pair<std::string, std::string>>& env = {}) {
    return finish(start(args, input, env));
  }

  // A file (or, with a trailing '/', a folder) under files/, made with its
  // parents; its full path.
  std::string make(const std::string& relative) {
    std::string full = files_ + "/" + relative;
    for (size_t at = files_.size() + 1; (at = full.find('/', at)) != std::string::npos; ++at)
      ::mkdir(full.substr(0, at).c_str(), 0700);
    if (full.back() == '/') {
      full.pop_back();
      return full;
    }
    write_whole_file(full, "");
    return full;
  }

  std::string notes_db() const { return home_ + "/system/qb.db"; }
  std::string notes_idx() const { return home_ + "/system/qb.idx"; }

  TempDir tmp_;
  std::string home_;
  std::string files_;

 private:
  static void redirect(const std::string& path, int target, int flags) {
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd >= 0 && fd != target) {
      ::dup2(fd, target);
      ::close(fd);
    }
  }

  std::string cwd_;
  int runs_ = 0;
  std::vector<std::pair<pid_t, int>> started_;
};
