#include "driver/driver.h"

#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "driver/queue.h"
#include "driver/reader.h"
#include "driver/report_client.h"
#include "platform/watch_config.h"
#include "platform/state_dir.h"

namespace {

std::mutex& driverLock() {
  static std::mutex lock;
  return lock;
}
Reader* openReader = nullptr;
bool opened = false;

void sink(FileEvent* event) { eq_push(event); }

}  // namespace

int drv_open(std::string* cause, IdentityProbe* probe) {
  std::lock_guard<std::mutex> g(driverLock());
  if (opened) {
    *cause = "the driver is open already";
    return EBUSY;
  }
  ReaderConfig config;
  config.watch = qb_read_watch_config();
  config.roots = config.watch.roots;
  config.sink = sink;
  config.probe = probe;
  const std::string state = qb_state_dir();
  if (state.empty()) {
    const int e = errno != 0 ? errno : ENOENT;
    *cause = std::string("the state folder cannot be made: ") + std::strerror(e);
    return e;
  }
  char resolved[PATH_MAX];
  config.excluded = realpath(state.c_str(), resolved) != nullptr ? resolved : state;
  config.socket_path = qb_state_path(kReportSocketName);
  eq_open();  // events the reader finds from its first watch on are kept
  int error = 0;
  openReader = rd_start(config, &error, cause);
  if (openReader == nullptr) {
    eq_close();
    return error;
  }
  opened = true;
  return 0;
}

int drv_probe(IdentityProbe* probe) {
  Reader* reader;
  {
    std::lock_guard<std::mutex> g(driverLock());
    reader = openReader;
  }
  // Unlocked while it waits: only drv_close, on the same thread as the
  // caller, ends the reader.
  return reader == nullptr ? ENODEV : rd_probe(reader, probe);
}

void drv_stop() { eq_stop(); }

void drv_close() {
  Reader* reader;
  {
    std::lock_guard<std::mutex> g(driverLock());
    reader = openReader;
    openReader = nullptr;
  }
  eq_close();      // the reader's last events are refused
  rd_stop(reader);  // unlocked: the reader's sink takes the queue's lock
  std::lock_guard<std::mutex> g(driverLock());
  opened = false;
}
