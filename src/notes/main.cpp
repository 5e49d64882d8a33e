// qbnote: reads, writes and searches the notes of the notes table. main()
// only picks the command; each command group has its own file (cmd_*.cpp).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "notes/notes.h"
#include "platform/state_dir.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
};

const Command kTable[] = {
    {"set", cmd_set},       {"get", cmd_get},       {"rm", cmd_rm},         {"ls", cmd_ls},
    {"find", cmd_find},     {"edit", cmd_edit},     {"export", cmd_export}, {"import", cmd_import},
    {"check", cmd_check},   {"cp", cmd_cp},         {"restore", cmd_restore},
    {"status", cmd_status}, {"mv", cmd_mv},         {"config", cmd_config},
    {"repair", cmd_repair}, {"restore-backup", cmd_restore_backup},
};

// Standard output is flushed before the exit status is decided: a full disk
// or a closed pipe must not pass for success, nor for a usage error.
int finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    say("cannot write to standard output: %s", std::strerror(errno));
    if (status == kExitDone) status = kExitTable;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    print_help(nullptr);
    return finish(kExitUsage);
  }
  const char* first = argv[1];
  if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
    print_help(nullptr);
    return finish(kExitDone);
  }
  if (std::strcmp(first, "--version") == 0) {
    std::printf("%s\n", kVersion);
    return finish(kExitDone);
  }
  if (std::strcmp(first, "help") == 0) {
    if (argc > 2 && !is_command(argv[2])) {
      say("no command %s (see qbnote --help)", argv[2]);
      return kExitUsage;
    }
    print_help(argc > 2 ? argv[2] : nullptr);
    return finish(kExitDone);
  }
  for (const Command& c : kTable) {
    if (std::strcmp(c.name, first) != 0) continue;
    if (const std::string why = qb_state_refusal(); !why.empty()) {
      say("%s", why.c_str());
      return kExitTable;
    }
    return finish(c.run(argc - 2, argv + 2));
  }
  say("no command %s (see qbnote --help)", first);
  return kExitUsage;
}
