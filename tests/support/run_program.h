// Running a program as a child process, and waiting for a condition; both
// with a deadline, so a hung program or a condition that never comes fails
// the test instead of hanging it.
//
// A run's standard input comes from a file and its output and error go to
// files (in `scratch`), so that no pipe can fill up and stall either side.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

constexpr int kRunDeadlineMs = 20000;  // generous for the sanitizer build

struct ProgramRun {
  int status = -1;  // exit status; -1 killed by a signal; -2 outlived its deadline
  std::string out;
  std::string err;
};

using EnvList = std::vector<std::pair<std::string, std::string>>;

struct StartedProgram {
  pid_t pid = -1;
  std::string out_path;
  std::string err_path;
};

// Starts `program` with `args`, `env` added to the inherited environment,
// `input` as standard input; output and error are appended to `out_path`
// and `err_path`. Returns at once.
StartedProgram start_program(const std::string& program, const std::vector<std::string>& args,
                             const std::string& input, const EnvList& env, const std::string& out_path,
                             const std::string& err_path);

// Reaps `pid`: true with its status (-1 for a signal) once it has ended;
// `wait_ms` 0 only looks, -1 waits as long as it takes, more waits that long.
bool reap_program(pid_t pid, int wait_ms, int* status);

// Waits for a started program within `deadline_ms` (killing it past that)
// and collects its output.
ProgramRun finish_program(const StartedProgram& p, int deadline_ms = kRunDeadlineMs);

// start_program into fresh files under `scratch`, then finish_program.
ProgramRun run_program(const std::string& scratch, const std::string& program,
                       const std::vector<std::string>& args, const std::string& input = "",
                       const EnvList& env = {}, int deadline_ms = kRunDeadlineMs);

// Polls `holds` every couple of milliseconds until it is true (true) or
// `deadline_ms` has passed (false).
bool wait_until(const std::function<bool()>& holds, int deadline_ms = kRunDeadlineMs);
