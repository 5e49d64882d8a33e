#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/files.h"
#include "platform/kernel_objects.h"

extern char** environ;

namespace {

struct ProcessObject : KernelObject {
  explicit ProcessObject(pid_t p) : KernelObject(ObjectKind::kProcess), pid(p) {}
  // Without a reaper thread the waits reap the program themselves.
  bool ready(ThreadState*) override {
    if (!ended && !reaped_by_thread) {
      int status;
      pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid || (r < 0 && errno == ECHILD)) finish(r == pid ? status : 0);
    }
    return ended;
  }
  int poll_ms() const override { return reaped_by_thread ? 0 : 20; }

  // Lock held.
  void finish(int status) {
    ended = true;
    if (WIFEXITED(status))
      exit_code = static_cast<DWORD>(WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
      exit_code = static_cast<DWORD>(128 + WTERMSIG(status));
    else
      exit_code = 0;
    qb_kernel_cv().notify_all();
  }

  const pid_t pid;
  bool reaped_by_thread = false;
  bool ended = false;
  DWORD exit_code = STILL_ACTIVE;
};

void* reap(void* p) {
  auto* holder = static_cast<std::shared_ptr<ProcessObject>*>(p);
  std::shared_ptr<ProcessObject> proc = std::move(*holder);
  delete holder;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(proc->pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  {
    std::lock_guard<std::mutex> g(qb_kernel_lock());
    proc->finish(r == proc->pid ? status : 0);
  }
  return nullptr;  // `proc` drops unlocked (invariant 2)
}

std::vector<std::string> split_blanks(const char* s) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = s; p != nullptr && *p != '\0'; ++p) {
    if (*p == ' ' || *p == '\t') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

std::vector<std::string> parse_environment(const char* block) {
  std::vector<std::string> out;
  for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1) out.emplace_back(p);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& v) {
  std::vector<char*> out;
  for (std::string& s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

BOOL fail(int error) {
  SetLastError(static_cast<DWORD>(error));
  return FALSE;
}

}  // namespace

BOOL CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                    DWORD, LPVOID environment, LPCSTR current_directory, LPSTARTUPINFOA,
                    LPPROCESS_INFORMATION info) {
  std::vector<std::string> args = split_blanks(command_line);
  if (application == nullptr && args.empty()) return fail(ERROR_INVALID_PARAMETER);
  if (args.empty()) args.emplace_back(application);
  std::string program = application != nullptr ? application : args[0];
  std::vector<char*> argv = pointers(args);
  std::vector<std::string> env_strings;
  std::vector<char*> envp;
  if (environment != nullptr) {
    env_strings = parse_environment(static_cast<const char*>(environment));
    envp = pointers(env_strings);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (current_directory != nullptr) posix_spawn_file_actions_addchdir_np(&actions, current_directory);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(),
                        environment != nullptr ? envp.data() : environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return fail(rc);

  auto proc = std::make_shared<ProcessObject>(pid);
  pthread_attr_t tattr;
  pthread_attr_init(&tattr);
  pthread_attr_setdetachstate(&tattr, PTHREAD_CREATE_DETACHED);
  auto* holder = new std::shared_ptr<ProcessObject>(proc);
  pthread_t reaper;
  {
    // The flag is set before the reaper can finish, under the lock the
    // waits read it with.
    std::lock_guard<std::mutex> g(qb_kernel_lock());
    proc->reaped_by_thread = pthread_create(&reaper, &tattr, reap, holder) == 0;
  }
  pthread_attr_destroy(&tattr);
  if (!proc->reaped_by_thread) delete holder;
  HANDLE process = qb_handle_open(proc);
  HANDLE thread = qb_handle_open(proc);
  if (info != nullptr) {
    *info = PROCESS_INFORMATION{process, thread, static_cast<DWORD>(pid), static_cast<DWORD>(pid)};
  } else {
    CloseHandle(process);
    CloseHandle(thread);
  }
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD code) {
  std::shared_ptr<ProcessObject> p = qb_handle_as<ProcessObject>(process, ObjectKind::kProcess);
  if (p == nullptr || code == nullptr) return FALSE;
  std::lock_guard<std::mutex> g(qb_kernel_lock());
  p->ready(nullptr);
  *code = p->exit_code;
  return TRUE;
}
