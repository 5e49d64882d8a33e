#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

std::string* g_dir = nullptr;

void remove_dir() {
  std::error_code ec;
  if (g_dir != nullptr) std::filesystem::remove_all(*g_dir, ec);
}

}  // namespace

const std::string& fz_dir() {
  if (g_dir == nullptr) {
    struct stat st;
    const char* env = std::getenv("TMPDIR");
    std::string base = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : env && *env ? env : "/tmp";
    std::string tmpl = base + "/qbfuzz.XXXXXX";
    fz_check(::mkdtemp(tmpl.data()) != nullptr, "cannot make the scratch folder");
    g_dir = new std::string(tmpl);
    std::atexit(remove_dir);
  }
  return *g_dir;
}

std::string fz_path(const char* name) { return fz_dir() + "/" + name; }

void fz_write(const std::string& path, const uint8_t* data, size_t n) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  fz_check(fd >= 0, "cannot create an input file");
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, data + done, n - done);
    fz_check(w > 0, "cannot write an input file");
    done += static_cast<size_t>(w);
  }
  ::close(fd);
}

void fz_absolute_artifacts(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i)
    if (std::strncmp((*argv)[i], "-artifact_prefix=", 17) == 0 || std::strncmp((*argv)[i], "-exact_artifact_path=", 21) == 0)
      return;
  char cwd[4096];
  fz_check(::getcwd(cwd, sizeof cwd) != nullptr, "cannot tell the working folder");
  // Kept for the life of the process: libFuzzer reads its flags from it.
  static std::string flag = std::string("-artifact_prefix=") + cwd + "/";
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  args.push_back(flag.data());
  args.push_back(nullptr);
  *argc += 1;
  *argv = args.data();
}

bool fz_verbose() {
  static const bool verbose = std::getenv("QB_FUZZ_VERBOSE") != nullptr;
  return verbose;
}

void fz_check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
