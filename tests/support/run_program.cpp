#include "support/run_program.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

void redirect(const std::string& path, int target, int flags) {
  int fd = ::open(path.c_str(), flags, 0600);
  if (fd >= 0 && fd != target) {
    ::dup2(fd, target);
    ::close(fd);
  }
}

}  // namespace

StartedProgram start_program(const std::string& program, const std::vector<std::string>& args,
                             const std::string& input, const EnvList& env, const std::string& out_path,
                             const std::string& err_path) {
  StartedProgram p{-1, out_path, err_path};
  const std::string in = out_path + ".in";
  if (!write_whole_file(in, input)) return p;
  // Everything the child needs is made before fork: it only calls what is
  // safe between fork and exec in a threaded parent.
  std::vector<std::string> envs;
  for (const auto& [name, value] : env) envs.push_back(name + "=" + value);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  p.pid = ::fork();
  if (p.pid == 0) {
    for (std::string& e : envs) ::putenv(e.data());
    redirect(in, 0, O_RDONLY);
    redirect(out_path, 1, O_WRONLY | O_CREAT | O_APPEND);
    redirect(err_path, 2, O_WRONLY | O_CREAT | O_APPEND);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return p;
}

bool reap_program(pid_t pid, int wait_ms, int* status) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms < 0 ? 0 : wait_ms);
  for (;;) {
    int raw = 0;
    const pid_t got = ::waitpid(pid, &raw, wait_ms < 0 ? 0 : WNOHANG);
    if (got < 0 && errno == EINTR) continue;
    if (got == pid) {
      *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return true;
    }
    if (got < 0) {  // not our child (any more): nothing left to wait for
      *status = -1;
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

ProgramRun finish_program(const StartedProgram& p, int deadline_ms) {
  ProgramRun r;
  if (p.pid < 0) return r;
  if (!reap_program(p.pid, deadline_ms, &r.status)) {
    ::kill(p.pid, SIGKILL);
    (void)reap_program(p.pid, -1, &r.status);
    r.status = -2;
  }
  r.out = read_whole_file(p.out_path);
  r.err = read_whole_file(p.err_path);
  ::unlink(p.out_path.c_str());
  ::unlink(p.err_path.c_str());
  ::unlink((p.out_path + ".in").c_str());
  return r;
}

ProgramRun run_program(const std::string& scratch, const std::string& program,
                       const std::vector<std::string>& args, const std::string& input, const EnvList& env,
                       int deadline_ms) {
  static std::atomic<int> runs{0};
  const std::string n = std::to_string(::getpid()) + "." + std::to_string(++runs);
  return finish_program(
      start_program(program, args, input, env, scratch + "/run." + n + ".out", scratch + "/run." + n + ".err"),
      deadline_ms);
}

bool wait_until(const std::function<bool()>& holds, int deadline_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  for (;;) {
    if (holds()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}
