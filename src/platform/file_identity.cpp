#include "platform/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

int qb_file_identity(const char* path, FileIdentity* out) {
  struct statx sx;
  if (::statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_INO | STATX_BTIME, &sx) != 0)
    return errno;
  out->dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  out->ino = sx.stx_ino;
  out->has_btime = (sx.stx_mask & STATX_BTIME) != 0;
  out->btime_sec = out->has_btime ? sx.stx_btime.tv_sec : 0;
  out->btime_nsec = out->has_btime ? sx.stx_btime.tv_nsec : 0;
  return 0;
}

std::string qb_identity_text(const FileIdentity& id) {
  char text[96];
  if (id.has_btime)
    std::snprintf(text, sizeof text, "%" PRIu64 ":%" PRIu64 ":%" PRId64 ".%09" PRIu32, id.dev, id.ino, id.btime_sec,
                  id.btime_nsec);
  else
    std::snprintf(text, sizeof text, "%" PRIu64 ":%" PRIu64 ":-", id.dev, id.ino);
  return text;
}

bool qb_parse_identity(const char* text, FileIdentity* out) {
  FileIdentity id;
  int used = 0;
  if (std::sscanf(text, "%" SCNu64 ":%" SCNu64 ":%n", &id.dev, &id.ino, &used) != 2 || used == 0) return false;
  const char* rest = text + used;
  if (rest[0] == '-' && rest[1] == '\0') {
    *out = id;
    return true;
  }
  int tail = 0;
  if (std::sscanf(rest, "%" SCNd64 ".%" SCNu32 "%n", &id.btime_sec, &id.btime_nsec, &tail) != 2 ||
      rest[tail] != '\0' || id.btime_nsec >= 1000000000u)
    return false;
  id.has_btime = true;
  *out = id;
  return true;
}

bool qb_same_identity(const FileIdentity& wanted, const FileIdentity& found, bool* sure) {
  *sure = wanted.has_btime && found.has_btime;
  if (wanted.dev != found.dev || wanted.ino != found.ino) return false;
  return !*sure || (wanted.btime_sec == found.btime_sec && wanted.btime_nsec == found.btime_nsec);
}
