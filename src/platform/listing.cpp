#include "platform/listing.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <string>
#include <sys/stat.h>

#include "platform/files.h"
#include "platform/kernel_objects.h"

namespace {

struct FindObject : KernelObject {
  FindObject(DIR* d, std::string p) : KernelObject(ObjectKind::kFind), dir(d), pattern(std::move(p)) {}
  ~FindObject() override { ::closedir(dir); }
  DIR* const dir;
  const std::string pattern;  // "" matches everything
};

FILETIME filetime_of(const struct timespec& ts) {
  // 100-ns units between 1601-01-01 and 1970-01-01.
  constexpr int64_t kEpochGap = 116444736000000000LL;
  int64_t v = kEpochGap + static_cast<int64_t>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
  uint64_t u = static_cast<uint64_t>(v);
  return FILETIME{static_cast<DWORD>(u & 0xFFFFFFFFu), static_cast<DWORD>(u >> 32)};
}

void fill(LPWIN32_FIND_DATAA data, const char* name, const struct stat& st) {
  std::memset(data, 0, sizeof *data);
  DWORD a = 0;
  bool dots = std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
  if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
  if (name[0] == '.' && !dots) a |= FILE_ATTRIBUTE_HIDDEN;
  if (!S_ISDIR(st.st_mode) && (st.st_mode & 0222) == 0) a |= FILE_ATTRIBUTE_READONLY;
  data->dwFileAttributes = a != 0 ? a : FILE_ATTRIBUTE_NORMAL;
  data->ftCreationTime = filetime_of(st.st_ctim);
  data->ftLastAccessTime = filetime_of(st.st_atim);
  data->ftLastWriteTime = filetime_of(st.st_mtim);
  uint64_t size = static_cast<uint64_t>(st.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  std::strncpy(data->cFileName, name, sizeof data->cFileName - 1);
}

// The next entry of `f` that matches, into `data`. 1, or 0 at the end.
int next_entry(FindObject& f, LPWIN32_FIND_DATAA data) {
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(f.dir);
    if (e == nullptr) return 0;
    if (!f.pattern.empty() && ::fnmatch(f.pattern.c_str(), e->d_name, 0) != 0) continue;
    struct stat st;
    if (::fstatat(::dirfd(f.dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // gone since readdir
      std::memset(&st, 0, sizeof st);
      st.st_mode = e->d_type == DT_DIR ? S_IFDIR | 0755 : S_IFREG | 0644;
    }
    fill(data, e->d_name, st);
    return 1;
  }
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  if (pattern == nullptr || data == nullptr) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return INVALID_HANDLE_VALUE;
  }
  const char* cut = nullptr;
  for (const char* p = pattern; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') cut = p;
  std::string folder = cut == nullptr    ? std::string(1, '.')
                       : cut == pattern ? std::string(1, '/')
                                        : std::string(pattern, static_cast<size_t>(cut - pattern));
  std::string names = cut == nullptr ? pattern : cut + 1;
  if (names == "*" || names == "*.*") names.clear();
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    SetLastError(static_cast<DWORD>(errno));
    return INVALID_HANDLE_VALUE;
  }
  auto f = std::make_shared<FindObject>(dir, names);
  if (next_entry(*f, data) != 1) {
    SetLastError(static_cast<DWORD>(errno != 0 ? errno : ERROR_FILE_NOT_FOUND));
    return INVALID_HANDLE_VALUE;
  }
  return qb_handle_open(std::move(f));
}

BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data) {
  std::shared_ptr<FindObject> f = qb_handle_as<FindObject>(search, ObjectKind::kFind);
  if (f == nullptr) return FALSE;
  if (data == nullptr) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return FALSE;
  }
  if (next_entry(*f, data) == 1) return TRUE;
  SetLastError(static_cast<DWORD>(errno != 0 ? errno : ERROR_NO_MORE_FILES));
  return FALSE;
}

BOOL FindClose(HANDLE search) {
  return qb_handle_take(search, ObjectKind::kFind, false) != nullptr ? TRUE : FALSE;
}
