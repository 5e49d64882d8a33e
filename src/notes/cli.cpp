// What every command shares: messages, the argument parser, the checks on a
// path and a note, and reading input (see notes.h).
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "notes/notes.h"
#include "platform/canonical_path.h"

void say(const char* format, ...) {
  std::fputs("qbnote: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

int parse_args(const char* command, int argc, char** argv, unsigned allowed, int min_operands, int max_operands,
               Args* out) {
  bool options = true;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (options && (allowed & kTextFollows) != 0 && !out->operands.empty()) options = false;
    if (options && a[0] == '-' && a[1] != '\0') {
      if (std::strcmp(a, "--") == 0) {
        options = false;
      } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
        out->help = true;
      } else if (std::strcmp(a, "--json") == 0 && (allowed & kOptJson) != 0) {
        out->json = true;
      } else if (std::strcmp(a, "--missing") == 0 && (allowed & kOptMissing) != 0) {
        out->missing = true;
      } else if (std::strcmp(a, "--set-aside") == 0 && (allowed & kOptSetAside) != 0) {
        out->set_aside = true;
      } else if ((std::strcmp(a, "-r") == 0 || std::strcmp(a, "--recursive") == 0) && (allowed & kOptRecursive) != 0) {
        out->recursive = true;
      } else if (std::strcmp(a, "--xattr") == 0 && (allowed & kOptXattr) != 0) {
        out->xattr = true;
      } else if ((std::strcmp(a, "-0") == 0 || std::strcmp(a, "--null") == 0) && (allowed & kOptNull) != 0) {
        out->null = true;
      } else {
        say("%s: unknown option %s (see qbnote %s --help; a path or text that begins with '-' goes after --, "
            "as in: qbnote %s -- %s)",
            command, a, command, command, a);
        return kExitUsage;
      }
      continue;
    }
    out->operands.push_back(a);
  }
  if (out->help) return kExitDone;
  const int n = static_cast<int>(out->operands.size());
  if (n < min_operands || n > max_operands) {
    say("%s: %s (see qbnote %s --help)", command, n < min_operands ? "an operand is missing" : "too many operands",
        command);
    return kExitUsage;
  }
  return kExitDone;
}

int note_path(const char* operand, std::string* out) {
  if (operand[0] == '\0') {
    say("an empty path names nothing");
    return kExitUsage;
  }
  *out = qb_canonical_path(operand);
  if (out->empty()) {
    say("%s: cannot make the path absolute: %s", operand, std::strerror(errno));
    return kExitUsage;
  }
  if (out->size() > kMaxPathBytes) {
    say("%s: the path is %zu bytes long; the Monitor cannot follow paths longer than %zu bytes", operand,
        out->size(), kMaxPathBytes);
    return kExitUsage;
  }
  return kExitDone;
}

bool note_fits(const std::string& path, const std::string& note, std::string* why) {
  char text[512];
  if (note.find('\0') != std::string::npos) {
    std::snprintf(text, sizeof text, "the note for %s holds a NUL byte, which a note cannot hold", path.c_str());
    *why = text;
    return false;
  }
  const size_t limit = max_note_bytes(path.size());
  if (note.size() > limit) {
    std::snprintf(text, sizeof text,
                  "the note for %s is %zu bytes; one record holds %zu bytes with the path and the room a "
                  "set-aside copy needs, so a note for this path may have at most %zu bytes",
                  path.c_str(), note.size(), kMaxRecordBytes, limit);
    *why = text;
    return false;
  }
  return true;
}

int check_note(const std::string& path, const std::string& note) {
  std::string why;
  if (note_fits(path, note, &why)) return kExitDone;
  say("%s; nothing was written", why.c_str());
  return kExitUsage;
}

int read_input(const char* name, std::string* out) {
  const bool standard = std::strcmp(name, "-") == 0;
  std::FILE* f = standard ? stdin : std::fopen(name, "rb");
  if (f == nullptr) {
    say("cannot open %s: %s", name, std::strerror(errno));
    return -1;
  }
  out->clear();
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->append(buffer, n);
  const bool failed = std::ferror(f) != 0;
  const int e = errno;
  if (!standard) std::fclose(f);
  if (failed) {
    say("cannot read %s: %s", standard ? "standard input" : name, std::strerror(e));
    return -1;
  }
  return 1;
}

void drop_final_newline(std::string* text) {
  if (!text->empty() && text->back() == '\n') text->pop_back();
}
