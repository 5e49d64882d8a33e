#include "driver/reader.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "driver/event_mapper.h"
#include "driver/inotify_watch.h"
#include "driver/queue.h"
#include "driver/report_socket.h"
#include "platform/report.h"

// Room for many events per read; the kernel never splits one event.
constexpr size_t kReadBuffer = 64 * 1024;

struct Reader {
  alignas(inotify_event) char buffer[kReadBuffer];
  WatchTree tree;
  EventMapper mapper;
  ReportSocket socket;
  int wake[2] = {-1, -1};
  pthread_t thread = {};
  void (*sink)(FileEvent*) = nullptr;
  // A listing asked for by rd_probe: the request, its end, and the end of
  // the thread (after which no request is served).
  std::mutex probe_lock;
  std::condition_variable probe_done;
  IdentityProbe* probe = nullptr;
  bool ended = false;
  int64_t started = 0;  // seconds since the epoch
};

// What a byte on the wake-up pipe asks of the reader thread.
constexpr char kWakeStop = 1;
constexpr char kWakeProbe = 2;

namespace {

void close_all(Reader* r) {
  rs_close(&r->socket);
  iw_close(&r->tree);
  for (int& fd : r->wake) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

// Reads the inotify queue until it is empty.
void read_events(Reader* r) {
  for (;;) {
    ssize_t n = read(r->tree.fd, r->buffer, kReadBuffer);
    if (n > 0) {
      em_feed_buffer(&r->mapper, r->buffer, static_cast<size_t>(n), drv_now_ms());
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) em_queue_drained(&r->mapper);
    return;
  }
}

// Serves a probe asked for: every root listed again with the probe set.
void serve_probe(Reader* r) {
  std::lock_guard<std::mutex> g(r->probe_lock);
  if (r->probe == nullptr) return;
  r->tree.probe = r->probe;
  iw_rescan(&r->tree);
  r->tree.probe = nullptr;
  r->probe = nullptr;
  r->probe_done.notify_all();
}

// Reads the wake-up pipe empty; true when a stop is asked.
bool woken_to_stop(Reader* r) {
  char bytes[16];
  bool stop = false, probe = false;
  ssize_t n;
  while ((n = read(r->wake[0], bytes, sizeof bytes)) > 0)
    for (ssize_t i = 0; i < n; ++i) (bytes[i] == kWakeStop ? stop : probe) = true;
  if (probe) serve_probe(r);
  return stop;
}

void* loop(Reader* r);

void escaped_line(std::string* out, const char* name, const std::string& value) {
  *out += name;
  *out += ' ';
  for (char c : value) {
    if (c == '\\') *out += "\\\\";
    else if (c == '\n') *out += "\\n";
    else *out += c;
  }
  *out += '\n';
}

// The status answer's body (protocol in report_client.h); on the reader
// thread, which alone touches the tree and the mapper.
std::string status_text(void* context) {
  const Reader* r = static_cast<const Reader*>(context);
  const WatchTree& t = r->tree;
  std::string out;
  auto number = [&](const char* name, uint64_t n) { escaped_line(&out, name, std::to_string(n)); };
  number("pid", static_cast<uint64_t>(getpid()));
  number("started", static_cast<uint64_t>(r->started));
  for (const std::string& root : t.roots) escaped_line(&out, "root", root);
  for (const auto& [root, wd] : t.waiting) escaped_line(&out, "waiting", root);
  number("folders_watched", t.paths.size());
  number("folders_ignored", t.ignored);
  number("mounts_not_crossed", t.mounts_skipped);
  number("folders_unwatched", t.unwatched);
  number("overflows", r->mapper.overflows);
  uint64_t queued = 0, handled = 0;
  eq_counts(&queued, &handled);
  number("events_queued", queued);
  number("events_handled", handled);
  LogKind kind;
  std::string text;
  int64_t when = 0;
  if (qb_last_report(&kind, &text, &when))
    escaped_line(&out, "last_report",
                 std::string(kind == LogKind::kError ? "error " : "warning ") + std::to_string(when) + " " + text);
  return out;
}

void* run(void* arg) {
  Reader* r = static_cast<Reader*>(arg);
  loop(r);
  std::lock_guard<std::mutex> g(r->probe_lock);
  r->ended = true;
  r->probe_done.notify_all();
  return nullptr;
}

void* loop(Reader* r) {
  std::vector<pollfd> fds;
  std::vector<FileEvent> reported;
  for (;;) {
    fds.clear();
    fds.push_back({r->wake[0], POLLIN, 0});
    fds.push_back({r->tree.fd, POLLIN, 0});
    rs_poll_fds(r->socket, &fds);
    int timeout = -1;
    int64_t deadline = em_next_deadline(r->mapper);
    if (deadline >= 0) {
      int64_t left = deadline - drv_now_ms();
      timeout = left < 0 ? 0 : static_cast<int>(left);
    }
    int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0 && errno != EINTR) {
      drv_warn("file events can no longer be read: poll: %s", std::strerror(errno));
      break;
    }
    if (n > 0 && (fds[0].revents & POLLIN) != 0 && woken_to_stop(r)) break;
    // Kernel events before copy reports: a copier reports after its copy,
    // whose events are queued by then.
    if (n > 0 && (fds[1].revents & POLLIN) != 0) read_events(r);
    em_expire(&r->mapper, drv_now_ms());
    FileEvent e;
    while (em_take(&r->mapper, &e)) r->sink(&e);
    if (n > 0) {
      reported.clear();
      rs_service(&r->socket, fds.data() + 2, fds.size() - 2, &reported);
      for (FileEvent& c : reported) r->sink(&c);
    }
  }
  return nullptr;
}

}  // namespace

Reader* rd_start(const ReaderConfig& config, int* error, std::string* cause) {
  Reader* r = new (std::nothrow) Reader;
  if (r == nullptr) {
    *error = ENOMEM;
    *cause = "out of memory";
    return nullptr;
  }
  r->sink = config.sink;
  auto give_up = [&](int e, const std::string& what) -> Reader* {
    close_all(r);
    delete r;
    *error = e;
    *cause = what + ": " + std::strerror(e);
    return nullptr;
  };
  if (iw_open(&r->tree, config.excluded) != 1) return give_up(errno, "inotify_init1 failed");
  int last = ENOENT;  // an empty list of roots watches nothing
  std::string lastRoot = "(none given)";
  r->tree.probe = config.probe;
  r->tree.config = config.watch;
  for (const std::string& root : config.roots) {
    if (iw_add_root(&r->tree, root) == 1) continue;
    last = errno;
    lastRoot = root;
    if (last == ENOENT && root[0] == '/' && !iw_excluded(r->tree, root)) {
      iw_wait_root(&r->tree, root);
      drv_warn("the watched folder %s does not exist; notes under it are followed once it is made", root.c_str());
      continue;
    }
    drv_warn("cannot watch %s: %s; notes under it are not followed. Check the path in \"WatchRoots\" and "
             "restart qbmon once it exists",
             root.c_str(), std::strerror(last));
  }
  r->tree.probe = nullptr;
  if (r->tree.roots.empty() && r->tree.waiting.empty())
    return give_up(last, "no watch root can be watched: " + lastRoot);
  iw_report_limit(&r->tree);
  r->started = static_cast<int64_t>(std::time(nullptr));
  r->socket.status = status_text;
  r->socket.status_context = r;
  em_init(&r->mapper, &r->tree);
  if (!config.socket_path.empty() && rs_open(&r->socket, config.socket_path) != 1)
    drv_warn("copies cannot be reported: %s: %s", config.socket_path.c_str(), std::strerror(errno));
  if (pipe2(r->wake, O_CLOEXEC | O_NONBLOCK) != 0) return give_up(errno, "pipe2 failed");

  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int rc = pthread_create(&r->thread, nullptr, run, r);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) return give_up(rc, "the reader thread cannot start");
  return r;
}

int rd_probe(Reader* r, IdentityProbe* probe) {
  std::unique_lock<std::mutex> g(r->probe_lock);
  if (r->ended) return ESHUTDOWN;
  r->probe = probe;
  char byte = kWakeProbe;
  while (write(r->wake[1], &byte, 1) < 0 && errno == EINTR) {
  }
  r->probe_done.wait(g, [&] { return r->probe == nullptr || r->ended; });
  const bool served = r->probe == nullptr;
  r->probe = nullptr;
  return served ? 0 : ESHUTDOWN;
}

void rd_stop(Reader* r) {
  if (r == nullptr) return;
  char byte = kWakeStop;
  while (write(r->wake[1], &byte, 1) < 0 && errno == EINTR) {
  }
  pthread_join(r->thread, nullptr);
  close_all(r);
  delete r;
}
