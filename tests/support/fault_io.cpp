#include "support/fault_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "support/temp_dir.h"

namespace {

FaultPlan* g_plan = nullptr;

// True when this call of `kind` is to fail.
bool should_fail(IoKind kind) {
  if (g_plan != nullptr && g_plan->observe != nullptr) g_plan->observe(kind);
  if (g_plan == nullptr || g_plan->fail_at == 0) return false;
  if (g_plan->kind != IoKind::Any && g_plan->kind != kind) return false;
  ++g_plan->calls;
  bool fail = g_plan->calls == g_plan->fail_at || (g_plan->persistent && g_plan->calls > g_plan->fail_at);
  if (fail) ++g_plan->failures;
  return fail;
}

int fault_close(int h) {
  int rc = io_default_table().close(h);
  if (should_fail(IoKind::Close)) {
    io_os_error = EIO;
    return -1;
  }
  return rc;
}
int fault_flush(int h) {
  if (should_fail(IoKind::Flush)) {
    io_os_error = EIO;
    return -1;
  }
  return io_default_table().flush(h);
}
int fault_create(const char* name) {
  if (should_fail(IoKind::Create)) {
    io_os_error = EACCES;
    return -1;
  }
  return io_default_table().create(name);
}
int fault_lock(int h, int32_t off, int32_t len, int tries, int delay, int limit) {
  if (should_fail(IoKind::Lock)) return -1;
  return io_default_table().lock(h, off, len, tries, delay, limit);
}
int fault_open(const char* name, int write, int shared) {
  if (should_fail(IoKind::Open)) {
    io_os_error = EACCES;
    return -1;
  }
  return io_default_table().open(name, write, shared);
}
int fault_read_at(int h, int32_t off, int32_t len, void* buf) {
  if (should_fail(IoKind::Read)) {
    if (g_plan->short_read && len > 1) (void)io_default_table().read_at(h, off, len / 2, buf);
    io_os_error = g_plan->short_read ? kIoShortTransfer : EIO;
    return -1;
  }
  return io_default_table().read_at(h, off, len, buf);
}
// Page reads and writes go through the *_at slots of the live table, so a
// plan on Read or Write counts each page transfer once.
int fault_write_at(int h, int32_t off, int32_t len, const void* buf) {
  int32_t size = 0;
  // A full disk refuses only writes that need room past the end of the file.
  bool within = g_plan != nullptr && g_plan->disk_full && io_default_table().file_size(h, &size) == 1 &&
                int64_t{off} + len <= size;
  if (!within && should_fail(IoKind::Write)) {
    if (g_plan->disk_full && len > 1) (void)io_default_table().write_at(h, off, len / 2, buf);
    io_os_error = g_plan->disk_full ? ENOSPC : EIO;
    return -1;
  }
  return io_default_table().write_at(h, off, len, buf);
}
int fault_unlock(int h, int32_t off, int32_t len) {
  if (should_fail(IoKind::Unlock)) {
    io_os_error = EIO;
    return -1;
  }
  return io_default_table().unlock(h, off, len);
}
int fault_current_dir(char* buffer, int32_t size) {
  if (should_fail(IoKind::CurrentDir)) {
    io_os_error = EACCES;
    return -1;
  }
  return io_default_table().current_dir(buffer, size);
}

}  // namespace

FaultIo::FaultIo() {
  g_plan = &plan_;
  FileIo t = io_default_table();
  t.close = fault_close;
  t.flush = fault_flush;
  t.create = fault_create;
  t.lock = fault_lock;
  t.open = fault_open;
  t.read_at = fault_read_at;
  t.write_at = fault_write_at;
  t.unlock = fault_unlock;
  t.current_dir = fault_current_dir;
  g_file_io = t;
}

FaultIo::~FaultIo() {
  g_file_io = io_default_table();
  g_plan = nullptr;
}

// --- power cuts ------------------------------------------------------------------

namespace {

enum LogKind : uint8_t { kImage, kCreate, kWrite, kFlush, kRemove };
constexpr size_t kLogHead = 17;  // kind, inode (8), offset (4), length (4)
constexpr int32_t kSector = 512;

int g_log = -1;
long g_cut_at = 0, g_changes = 0;
std::set<uint64_t> g_seen;  // files whose image is in the log

void log_append(LogKind kind, uint64_t ino, int32_t offset, const void* data, int32_t length) {
  char head[kLogHead];
  head[0] = static_cast<char>(kind);
  std::memcpy(head + 1, &ino, 8);
  std::memcpy(head + 9, &offset, 4);
  std::memcpy(head + 13, &length, 4);
  struct iovec parts[2] = {{head, kLogHead}, {const_cast<void*>(data), static_cast<size_t>(length)}};
  if (::writev(g_log, parts, 2) != static_cast<ssize_t>(kLogHead + static_cast<size_t>(length))) std::abort();
}

uint64_t inode_of(int h) {
  struct stat st;
  return ::fstat(h, &st) == 0 ? st.st_ino : 0;
}

// The cut falls in place of a changing call.
void change_point() {
  if (++g_changes == g_cut_at) ::_exit(kPowerCutExit);
}

// A file met for the first time is taken as on disk as it stands.
void see(int h) {
  uint64_t ino = inode_of(h);
  if (h < 0 || !g_seen.insert(ino).second) return;
  struct stat st;
  std::string bytes(::fstat(h, &st) == 0 ? static_cast<size_t>(st.st_size) : 0, '\0');
  if (::pread(h, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) std::abort();
  log_append(kImage, ino, 0, bytes.data(), static_cast<int32_t>(bytes.size()));
}

int power_open(const char* name, int write, int shared) {
  int h = io_default_table().open(name, write, shared);
  see(h);
  return h;
}
int power_create(const char* name) {
  change_point();
  int h = io_default_table().create(name);
  if (h >= 0) {
    g_seen.insert(inode_of(h));
    log_append(kCreate, inode_of(h), 0, nullptr, 0);
  }
  return h;
}
int power_remove(const char* name) {
  change_point();
  log_append(kRemove, 0, 0, nullptr, 0);
  return io_default_table().remove(name);
}
int power_write_at(int h, int32_t off, int32_t len, const void* buf) {
  change_point();
  int rc = io_default_table().write_at(h, off, len, buf);
  if (rc == 1) log_append(kWrite, inode_of(h), off, buf, len);
  return rc;
}
int power_flush(int h) {
  change_point();
  int rc = io_default_table().flush(h);
  if (rc == 1) log_append(kFlush, inode_of(h), 0, nullptr, 0);
  return rc;
}

// The writer runs in a boot of its own: the check after the cut, with the
// system's boot id, comes in a later one.
int power_boot_id(uint8_t out[16]) {
  std::memcpy(out, "boot before a cut", 16);
  return 1;
}

void put(std::string* image, int32_t offset, const char* bytes, size_t length) {
  if (image->size() < offset + length) image->resize(offset + length, '\0');
  std::memcpy(image->data() + offset, bytes, length);
}

}  // namespace

PowerCutIo::PowerCutIo(const std::string& log, long cut_at) {
  g_log = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (g_log < 0) std::abort();
  g_cut_at = cut_at;
  g_changes = 0;
  g_seen.clear();
  FileIo t = io_default_table();
  t.open = power_open;
  t.create = power_create;
  t.remove = power_remove;
  t.write_at = power_write_at;
  t.flush = power_flush;
  t.boot_id = power_boot_id;
  g_file_io = t;
}

PowerCutIo::~PowerCutIo() {
  g_file_io = io_default_table();
  ::close(g_log);
  g_log = -1;
}

PowerCut cutPower(const std::string& log, const std::string& folder, std::mt19937& rng, bool gaps) {
  struct Write {
    int32_t offset;
    std::string bytes;
  };
  struct File {
    std::string disk;            // as of its last flush
    std::vector<Write> pending;  // written since
  };
  PowerCut cut;
  std::map<uint64_t, File> files;
  const std::string bytes = read_whole_file(log);
  for (size_t at = 0; at + kLogHead <= bytes.size();) {
    uint64_t ino;
    int32_t offset, length;
    std::memcpy(&ino, bytes.data() + at + 1, 8);
    std::memcpy(&offset, bytes.data() + at + 9, 4);
    std::memcpy(&length, bytes.data() + at + 13, 4);
    const LogKind kind = static_cast<LogKind>(bytes[at]);
    const char* data = bytes.data() + at + kLogHead;
    at += kLogHead + static_cast<size_t>(length);
    cut.calls += kind != kImage;
    if (kind == kRemove) continue;
    if (kind == kImage || kind == kCreate) {
      files[ino] = File{std::string(data, static_cast<size_t>(length)), {}};
    } else if (files.count(ino) == 0) {
      cut.error += "a change to a file never opened\n";
    } else if (kind == kWrite) {
      files[ino].pending.push_back({offset, std::string(data, static_cast<size_t>(length))});
    } else {
      for (const Write& w : files[ino].pending) put(&files[ino].disk, w.offset, w.bytes.data(), w.bytes.size());
      files[ino].pending.clear();
    }
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    struct stat st;
    if (!entry.is_regular_file() || ::stat(entry.path().c_str(), &st) != 0 || files.count(st.st_ino) == 0) continue;
    const File& f = files[st.st_ino];
    std::string cache = f.disk, disk = f.disk;
    // Each sector holds what the cache held at some moment since the flush:
    // of the writes that touch it, the first k, k drawn from 0 to all.
    std::map<int64_t, uint32_t> touching, kept, met;
    auto sectors = [](const Write& w, auto&& each) {
      for (int64_t from = w.offset, end = w.offset + static_cast<int64_t>(w.bytes.size()); from < end;) {
        const int64_t to = std::min(end, (from / kSector + 1) * kSector);
        each(from / kSector, from, to);
        from = to;
      }
    };
    for (const Write& w : f.pending) sectors(w, [&](int64_t s, int64_t, int64_t) { ++touching[s]; });
    for (const auto& [s, n] : touching) kept[s] = static_cast<uint32_t>(rng() % (n + 1));
    for (const Write& w : f.pending) {
      put(&cache, w.offset, w.bytes.data(), w.bytes.size());
      bool any = false, all = true;
      sectors(w, [&](int64_t s, int64_t from, int64_t to) {
        const bool keep = met[s]++ < kept[s];
        if (keep) put(&disk, static_cast<int32_t>(from), w.bytes.data() + (from - w.offset), static_cast<size_t>(to - from));
        any = any || keep;
        all = all && keep;
      });
      cut.lost += !any;
      cut.kept += all;
      cut.torn += any && !all;
    }
    // Without gaps the file ends where the bytes written past its flushed
    // end stop running on without a hole.
    size_t end = f.disk.size();
    for (bool grew = true; !gaps && grew;) {
      grew = false;
      for (const auto& [s, n] : kept)
        if (n > 0 && s * kSector <= static_cast<int64_t>(end) && (s + 1) * kSector > static_cast<int64_t>(end) &&
            disk.size() > end) {
          end = std::min(disk.size(), static_cast<size_t>((s + 1) * kSector));
          grew = true;
        }
    }
    if (!gaps && disk.size() > end) disk.resize(end);
    if (cache != read_whole_file(entry.path())) cut.error += entry.path().string() + " differs from its log\n";
    if (!write_whole_file(entry.path(), disk)) cut.error += entry.path().string() + " could not be rewritten\n";
    ++cut.files;
  }
  return cut;
}
