#include "support/fault_io.h"

#include <cerrno>

namespace {

FaultPlan* g_plan = nullptr;

// True when this call of `kind` is to fail.
bool should_fail(IoKind kind) {
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
  g_file_io = t;
}

FaultIo::~FaultIo() {
  g_file_io = io_default_table();
  g_plan = nullptr;
}
