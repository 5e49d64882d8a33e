// The real qbnote binary on a temporary state folder, for the end-to-end
// tests of the notes program: each test gets `state/` (QB_HOME of every run)
// and `files/` (the files the notes are about); every run has a deadline.
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

#include "support/run_program.h"
#include "support/temp_dir.h"

using QbRun = ProgramRun;

class QbnoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char resolved[PATH_MAX];  // notes are stored under resolved folders; TMPDIR may lie behind a link
    home_ = tmp_.path() + "/state";
    files_ = tmp_.path() + "/files";
    ::mkdir(files_.c_str(), 0700);
    if (::realpath(files_.c_str(), resolved) != nullptr) files_ = resolved;
    if (::getcwd(resolved, sizeof resolved) != nullptr) cwd_ = resolved;
  }
  void TearDown() override { (void)!::chdir(cwd_.c_str()); }

 public:
  StartedProgram start(const std::vector<std::string>& args, const std::string& input = "", EnvList env = {}) {
    const std::string n = tmp_.path() + "/run." + std::to_string(::getpid()) + "." + std::to_string(++runs_);
    env.insert(env.begin(), {"QB_HOME", home_});
    return start_program(QBNOTE_BIN, args, input, env, n + ".out", n + ".err");
  }
  QbRun finish(const StartedProgram& p) { return finish_program(p); }
  QbRun run(const std::vector<std::string>& args, const std::string& input = "", const EnvList& env = {}) {
    return finish(start(args, input, env));
  }
  // A file (or, with a trailing '/', a folder) under files/, made with its
  // parents; its full path.
  std::string make(const std::string& relative) {
    std::string full = files_ + "/" + relative;
    for (size_t at = files_.size() + 1; (at = full.find('/', at)) != std::string::npos; ++at)
      ::mkdir(full.substr(0, at).c_str(), 0700);
    if (full.back() == '/') full.pop_back();
    else write_whole_file(full, "");
    return full;
  }
  std::string notes_db() const { return home_ + "/system/qb.db"; }
  std::string notes_idx() const { return home_ + "/system/qb.idx"; }

  TempDir tmp_;
  std::string home_, files_;

 private:
  std::string cwd_;
  int runs_ = 0;
};
