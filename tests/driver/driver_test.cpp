// The driver: kernel events to file events (one table: the mapper fed made-up
// kernel events over a real watch tree, then the driver on the real kernel), the
// queue, opening, and the report socket.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "driver/driver.h"
#include "driver/event_mapper.h"
#include "driver/inotify_watch.h"
#include "driver/queue.h"
#include "driver/report_client.h"
#include "driver/report_socket.h"
#include "platform/registry.h"
#include "platform/state_dir.h"
#include "support/log_capture.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

void set_watch_roots(const std::string& roots) {
  const char* key = "SOFTWARE\\Kestrin Software\\Quibbet\\Configuration";
  ASSERT_EQ(reg_write_string(RegHive::kLocalMachine, key, "WatchRoots", roots), 0);
}
std::string show(const FileEvent& e) { return std::to_string(e.operation) + " " + e.source + " > " + e.target; }
std::string g_full;  // below it, the kernel is out of watches
std::set<std::string> g_mounts;

// A root (with "d/s"), an outside folder '@', the driver's state folder, and the
// mapper's own watch tree over the root (its state folder "state"). Events: "+new",
// "-old", "a>b" a rename, "a=b" a copy, "*" a reconciliation. Steps: "mkdir p",
// "put p", "mv a b", "rm p"; to the mapper "create p", "delete p", "from p cookie",
// "to p cookie" ('/' a folder), "overflow", "selfdel", "back" (the root made again),
// "at t" (the clock at the pairing wait plus t), checked by "= events" (all out since
// the last), "last", "w"/"nw" (not) watched, "same a b" (b has a's first watch), "gone
// p", "roots n waiting", "log n text" ('~' the root), "counts ignored mounts unwatched".
// The driver: "load", checked by "? events" waited for, "once"/"none", "never p".
struct Rig {
  TempDir root_tmp, outside_tmp, state_tmp;
  std::string root = resolved(root_tmp.path()), outside = resolved(outside_tmp.path());
  LogCapture log;
  WatchTree tree;
  EventMapper m;
  std::map<std::string, int> first;
  int64_t now = 1000;
  std::vector<FileEvent> events;  // taken from the driver so far, oldest first
  bool loaded = false;

  Rig() {
    ::setenv("QB_HOME", (state_tmp.path() + "/state").c_str(), 1);
    set_watch_roots(root);
    std::filesystem::create_directories(at("d/s"));
    EXPECT_TRUE(iw_open(&tree, at("state")) == 1 && iw_add_root(&tree, root) == 1);
    em_init(&m, &tree);
    first = tree.by_path;
  }
  ~Rig() {
    if (loaded) drv_close();
    iw_close(&tree);
    ::unsetenv("QB_HOME");
  }
  std::string at(const std::string& p) const {
    return p == "." ? root : p[0] != '@' ? root + "/" + p : outside + (p.size() > 1 ? "/" + p.substr(1) : "");
  }
  std::string ev(const std::string& t) const {  // the token `t` as show() gives its event
    const size_t mid = t.find_first_of(">="), c = t[0] == '+', d = t[0] == '-';
    if (c || d) return show({c ? OP_CREATE : OP_DELETE, d ? at(t.substr(1)) : "", c ? at(t.substr(1)) : ""});
    return t == "*" ? show({OP_RECONCILE, "", ""})
                    : show({t[mid] == '>' ? OP_RENAME : OP_COPY, at(t.substr(0, mid)), at(t.substr(mid + 1))});
  }
  int count(const std::string& token) const {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](auto& e) { return show(e) == ev(token); }));
  }
  // Takes the driver's events until `token`'s has come; false past the deadline.
  bool wait_for(const std::string& token) {
    return wait_until([&] {
      FileEvent e;
      if (eq_take(&e, 20)) events.push_back(e);
      return count(token) > 0;
    });
  }
  int wd(const std::string& p) const { return iw_wd(tree, at(p)); }

  // One read() of the kernel's: the header, then the name padded.
  void feed(int watch, uint32_t mask, const std::string& name, uint32_t cookie = 0) {
    const size_t padded = name.empty() ? 0 : (name.size() / 8 + 1) * 8;
    std::vector<char> bytes(sizeof(inotify_event) + padded, 0);
    auto* e = reinterpret_cast<inotify_event*>(bytes.data());
    e->wd = watch, e->mask = mask, e->cookie = cookie, e->len = static_cast<uint32_t>(padded);
    std::copy(name.begin(), name.end(), e->name);
    em_feed_buffer(&m, bytes.data(), bytes.size(), now);
  }

  // Runs `script`, its steps split at ';' and each at blanks.
  void run(const std::string& script) {
    std::stringstream all(script);
    for (std::string line; std::getline(all, line, ';') && !::testing::Test::HasFatalFailure();) {
      std::stringstream words(line);
      step({std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()});
    }
  }
  void step(const std::vector<std::string>& s) {
    const std::string& op = s[0];
    const std::vector<std::string> args(s.begin() + 1, s.end());
    const std::string a = args.empty() ? "" : args[0], b = args.size() > 1 ? args[1] : "";
    const std::map<std::string, uint32_t> masks = {
        {"create", IN_CREATE}, {"delete", IN_DELETE}, {"from", IN_MOVED_FROM}, {"to", IN_MOVED_TO}};
    if (op == "put") EXPECT_TRUE(write_whole_file(at(a), "x")) << a;
    else if (op == "mkdir") std::filesystem::create_directories(at(a));
    else if (op == "mv") std::filesystem::rename(at(a), at(b));
    else if (op == "rm") std::filesystem::remove_all(at(a));
    else if (masks.count(op)) {  // "p/" a folder
      const std::string p = a.back() == '/' ? a.substr(0, a.size() - 1) : a;
      const size_t slash = p.rfind('/');
      feed(wd(slash == std::string::npos ? "." : p.substr(0, slash)), masks.at(op) | (p != a ? IN_ISDIR : 0),
           p.substr(slash + 1), b.empty() ? 0 : std::stoul(b));
    } else if (op == "overflow") feed(-1, IN_Q_OVERFLOW, "");
    else if (op == "selfdel") feed(wd("."), IN_DELETE_SELF, "");
    else if (op == "back") feed(tree.waiting[root], IN_CREATE | IN_ISDIR, std::filesystem::path(root).filename());
    else if (op == "at") em_expire(&m, now = 1000 + kPairWaitMs + std::stoi(a));
    else if (op == "drained") em_queue_drained(&m);
    else if (op == "root") EXPECT_EQ(iw_add_root(&tree, at(a)), 1);
    else if (op == "rescan") iw_rescan(&tree);
    else if (op == "limit") iw_report_limit(&tree);
    else if (op == "=" || op == "last") {
      std::vector<std::string> want, got;
      for (FileEvent e; em_take(&m, &e);) got.push_back(show(e));
      for (const std::string& t : args) want.push_back(ev(t));
      if (op == "last" && !got.empty()) got = {got.back()};
      EXPECT_EQ(got, want);
    } else if (op == "w" || op == "nw") {
      for (const std::string& p : args) EXPECT_EQ(wd(p) >= 0, op == "w") << p;
    } else if (op == "same") EXPECT_EQ(wd(b), first.at(at(a))) << b;
    else if (op == "gone") EXPECT_EQ(iw_path(tree, first.at(at(a))), nullptr) << a;
    else if (op == "roots") EXPECT_EQ(std::to_string(tree.roots.size()) + std::to_string(tree.waiting.size()), a + b);
    else if (op == "counts")
      EXPECT_EQ(std::to_string(tree.ignored) + std::to_string(tree.mounts_skipped) + std::to_string(tree.unwatched),
                a + b + args.at(2));
    else if (op == "log") {
      std::string text;
      for (size_t i = 1; i < args.size(); ++i) text += (i > 1 ? " " : "") + (args[i] == "~" ? root : args[i]);
      EXPECT_EQ(log.count(text), std::stoi(a)) << text;
    } else if (op == "ignore") tree.config.ignore = args;
    else if (op == "home") tree.config.home = at(a);
    else if (op == "cross") tree.config.cross_mounts = true;
    else if (op == "full") {
      g_full = at(a);
      tree.add_watch = [](int fd, const char* path, uint32_t mask) {
        return std::string(path).rfind(g_full, 0) == 0 ? (errno = ENOSPC, -1) : inotify_add_watch(fd, path, mask);
      };
    } else if (op == "mounts") {
      g_mounts.clear();
      for (const std::string& p : args) g_mounts.insert(at(p));
      tree.read_mounts = [] { return g_mounts; };
    } else if (op == "load") {
      std::string cause;
      ASSERT_EQ(drv_open(&cause), 0) << cause;
      loaded = true;
    } else if (op == "?" || op == "once" || op == "none" || op == "never") {
      for (const std::string& t : args) {
        auto under = [&](const std::string& p) { return p == at(t) || p.rfind(at(t) + "/", 0) == 0; };
        if (op == "?") { EXPECT_TRUE(wait_for(t)) << t; }
        if (op == "once" || op == "none") { EXPECT_EQ(count(t), op == "once" ? 1 : 0) << t; }
        for (const FileEvent& e : events) EXPECT_FALSE(op == "never" && (under(e.source) || under(e.target))) << t;
      }
    } else ADD_FAILURE() << "no step " << op;
  }
};

TEST(DriverEvents, KernelEventsBecomeFileEvents) {
  const struct { const char* name; std::string script; } rows[] = {
      {"rename halves in separate reads", "from a 7; =; at -1; to d/b 7; = a>d/b"},
      {"an unpaired move-out is a delete once its wait runs out; its late partner a move-in",
       "from a 7; at -1; =; at 0; = -a; to b 7; = +b"},
      {"events behind a waiting move keep their order", "from x 3; create x; =; at 0; = -x +x"},
      {"a renamed folder takes its watches and held events along",
       "from d/ 5; create d/s/early; mv d e; to e/ 5; = d>e +e/s/early; same d e; same d/s e/s; nw d/s"},
      {"a folder moved out loses its watches and what happened in it",
       "from d/ 5; create d/s/outside-now; create kept; at 0; = -d +kept; nw d d/s; gone d/s"},
      {"a folder moved into one not yet watched is a rename",
       "put d/s/f; mkdir new; mv d new/d2; create new/; from d/ 9; at 0; = +new d>new/d2 -d; same d new/d2; "
       "same d/s new/d2/s; nw d/s"},
      {"a new folder is listed and its own queued events are not repeated",
       "mkdir n/m; put n/m/f; create n/; = +n +n/m +n/m/f; w n/m; create n/m/; create n/m/f; =; create n/m/g; "
       "delete n/m/g; create n/m/g; = +n/m/g -n/m/g +n/m/g; drained; create n/m/f; = +n/m/f"},
      {"overflow: a warning, the watches rescanned, a reconciliation and nothing invented",
       "mkdir unseen/deep; rm d; overflow; w unseen/deep; nw d d/s; log 1 qbnote ls --missing; = *"},
      {"the state folder is never watched nor reported; a folder renamed to it leaves",
       "mkdir state/inner; create state/; =; nw state; from d/ 9; to state/ 9; = -d; nw d/s; rescan; nw state/inner"},
      {"a deleted root is waited for and watched again when made",
       "rm .; selfdel; roots 0 1; log 1 no longer followed; mkdir d; put d/f; back; roots 1 0; = +d +d/f; w d"},
      {"a nested root renamed is a rename and its old name is waited for",
       "root d; mv d e; from d/ 5; to e/ 5; = d>e; roots 1 1; w e/s; mkdir d; create d/; roots 2 0"},
      {"ignored names, mount points and the watch limit are not entered",
       "ignore .git node_modules .cache; home home; mounts . m; full full; mkdir .git/objects/a; "
       "mkdir p/node_modules/x; mkdir home/.cache/y; mkdir p/.cache; mkdir m/inner; mkdir full/a/b; rescan; limit; "
       "limit; nw .git .git/objects p/node_modules home/.cache m full full/a; w . p home p/.cache d/s; counts 3 1 3; "
       "log 1 3 folders under ~ are not watched; cross; rescan; w m/inner; mv d node_modules; from d/ 8; "
       "to node_modules/ 8; mv .git git; from .git/ 9; to git/ 9; = d>node_modules .git>git; nw node_modules/s; "
       "w git/objects/a"},
      {"a file moved into a folder not yet watched (the kernel tells only the first half) is a rename",
       "put d/n.txt; mkdir new; mv d/n.txt new/n.txt; create new/; from d/n.txt 4; at 0; = +new +new/n.txt "
       "d/n.txt>new/n.txt"},
      {"the kernel's partner wins over the listing",
       "put d/f; mkdir new; mv d/f new/f; create new/; from d/f 4; to new/f 4; at 0; = +new +new/f d/f>new/f"},
      {"two listed files of the name leave a delete",
       "put d/f; mkdir new/sub; put new/sub/f; mv d/f new/f; create new/; from d/f 4; at 0; last -d/f"},
      {"a listed file gone or a folder by then leaves a delete",
       "put d/f; put d/g; mkdir new; mv d/f new/f; create new/; from d/f 4; mkdir new2; mv d/g new2/g; "
       "create new2/; from d/g 5; rm new/f; rm new2/g; mkdir new2/g; at 0; = +new +new/f -d/f +new2 +new2/g -d/g"},
      {"a move after the queue was read empty is not matched to an older listing",
       "mkdir new; put new/f; create new/; drained; from d/f 6; at 0; = +new +new/f -d/f"},
      {"a tree made at once: listed, each once; renamed, its watches follow",
       "load; mkdir a/b/c; put a/b/c/f; ? +a/b/c/f; put sentinel; ? +sentinel; once +a +a/b +a/b/c +a/b/c/f; "
       "put a/b/c/g; ? +a/b/c/g; mv a/b/c/g a/g; mv a/b b2; put b2/c/h; ? a/b/c/g>a/g a/b>b2 +b2/c/h; none +a/b/c/h"},
      {"moved out: a delete once its wait runs out, nothing after",
       "mkdir m/n; load; mv m @m; ? -m; put @m/n/later; put sentinel; ? +sentinel; never m/n @"},
      {"a path longer than a note's", "load; put " + std::string(250, 'f') + "; ? +" + std::string(250, 'f')},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rig().run(row.script);
  }
}

// Sends `bytes` to `path`: the answer line, "no connection" or "cut off".
std::string at_socket(const std::string& path, const std::string& bytes) {
  sockaddr_un addr = {AF_UNIX, {}};
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  std::string answer = "no connection";
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    timeval limit = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    answer = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()) ? "" : "cut off";
    char c = 0;
    ssize_t n = 0;
    while ((n = recv(fd, &c, 1, 0)) == 1 && c != '\n') answer += c;
    if (answer.empty() && (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))) answer = "cut off";
  }
  close(fd);
  return answer;
}
std::string at_socket(const std::string& bytes) { return at_socket(qb_state_path(kReportSocketName), bytes); }

// Opening (why no root can be watched, one open at a time, the socket file), then
// the queue: one event at a time, a bound, the stop last.
TEST(DriverQueue, OpenSaysWhyNoRootCanBeWatchedThenTheQueueHoldsOneEventAtATime) {
  Rig r;
  r.run("put plain");
  const struct { std::string roots; int error; } rows[] = {{r.at("plain"), ENOTDIR}, {qb_state_dir(), EPERM}};
  std::string cause, socket = qb_state_path(kReportSocketName);
  for (const auto& row : rows) {
    set_watch_roots(row.roots);
    EXPECT_EQ(drv_open(&cause), row.error) << row.roots;
    EXPECT_NE(cause.find("no watch root can be watched: " + row.roots), std::string::npos) << cause;
  }
  set_watch_roots(r.at("missing"));  // not there yet: waited for, even the only root
  r.run("load");
  EXPECT_EQ(drv_open(&cause), EBUSY);
  struct stat st = {};
  EXPECT_TRUE(::stat(socket.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
  r.run("mkdir missing/in; put missing/in/made; ? +missing/in/made; put missing/in/later; ? +missing/in/later");
  drv_close();
  r.loaded = false;
  EXPECT_NE(::stat(socket.c_str(), &st), 0);
  // Opened again it watches again; a root that cannot be watched leaves the others.
  set_watch_roots(r.at("plain") + ":" + r.root);
  r.run("load; put again; ? +again; put one; put two; put three; ? +three; once +again +one +two");
  EXPECT_EQ(eq_drain(0), 1u);  // the event taken last is out until the next take acknowledges it
  FileEvent e, late{OP_CREATE, "", "/late"};
  EXPECT_FALSE(eq_take(&e, 0));
  EXPECT_EQ(eq_drain(0), 0u);
  for (size_t i = 0; i < kEventQueueMax + 10; ++i) {  // a full queue loses what comes after
    FileEvent x{OP_CREATE, "", "/x/" + std::to_string(i)};
    eq_push(&x);
  }
  EXPECT_EQ(eq_waiting(), kEventQueueMax);
  EXPECT_TRUE(eq_take(&e, 0) && e.target == "/x/0");
  EXPECT_EQ(eq_drain(10), kEventQueueMax);  // a consumer that stalls: the rest queued, one out
  drv_stop();  // drops what is queued, and nothing follows it
  EXPECT_TRUE(eq_take(&e, 5000) && e.operation == OP_STOP);
  eq_push(&late);
  EXPECT_FALSE(eq_take(&e, 0));
  EXPECT_EQ(eq_drain(0), 0u);
}

TEST(DriverReports, CopiesReachARunningDriverAndWhatIsNoRequestIsRefused) {
  Rig r;
  EXPECT_EQ(qb_report_copy(r.at("a").c_str(), r.at("b").c_str()), 0);  // nobody listens
  ReportSocket dead;  // nor does a dead driver's socket
  ASSERT_EQ(rs_open(&dead, qb_state_path(kReportSocketName)), 1);
  ::close(dead.listen_fd);
  EXPECT_EQ(qb_report_copy(r.at("a").c_str(), r.at("b").c_str()), 0);
  r.run("put src");
  ASSERT_EQ(::symlink(r.at("d").c_str(), r.at("@link").c_str()), 0);
  // With no driver, qbnote cp gives the copy the contents, mode, times and note itself.
  auto qbnote = [&](const std::vector<std::string>& args) { return run_program(r.state_tmp.path(), QBNOTE_BIN, args); };
  const timespec times[2] = {{1000000000, 5}, {1100000000, 7}};
  ASSERT_TRUE(qbnote({"set", r.at("src"), "noted"}).status == 0 && ::chmod(r.at("src").c_str(), 0640) == 0 &&
              ::utimensat(AT_FDCWD, r.at("src").c_str(), times, 0) == 0);
  EXPECT_EQ(qbnote({"cp", r.at("src"), r.at("d")}).status, 0);  // into a folder, under the source's name
  EXPECT_EQ(qbnote({"get", r.at("d/src")}).out, "noted\n");
  struct stat st = {};
  EXPECT_TRUE(::stat(r.at("d/src").c_str(), &st) == 0 && (st.st_mode & 07777) == 0640 &&
              st.st_mtim.tv_sec == 1100000000 && st.st_mtim.tv_nsec == 7);
  for (const char* refused : {"d", "./src", "absent"})  // a folder, the same file, nothing
    EXPECT_EQ(qbnote({"cp", r.at(refused), r.at("src")}).status, 2) << refused;
  EXPECT_EQ(read_whole_file(r.at("src")), "x");
  r.run("load");  // and replaces the dead one's socket
  ASSERT_EQ(qb_report_copy(r.at("@link/a").c_str(), r.at("@link/./b").c_str()), 1);
  EXPECT_TRUE(r.wait_for("d/a=d/b"));  // through a link to a folder of the root: resolved
  EXPECT_EQ(at_socket("HELLO"), "ERR not a request");
  EXPECT_EQ(at_socket(std::string("COPY relative\0/abs\0", 19)), "ERR paths must be absolute");
  EXPECT_EQ(at_socket("COPY " + std::string(kReportRequestMax, 'x')), "ERR not a request");
  const std::string p = r.at("p"), q = r.at("q"), s = r.at("s");
  EXPECT_EQ(at_socket("COPY " + p + '\0' + q + '\0' + "COPY " + q + '\0' + s + '\0'), "OK");  // two in one send
  EXPECT_TRUE(r.wait_for("p=q") && r.wait_for("q=s"));
}

// Two walls, each alone (nothing else in the way): the socket's mode (0600) and the peer's
// credentials. A forked child connects as uid and gid 65534 (needs root), or as the own user.
TEST(DriverReports, OnlyTheSocketsOwnUserIsHeard) {
  const struct { mode_t mode; const char* answer; bool other; } rows[] = {
      {0666, "cut off", true}, {0600, "no connection", true}, {0600, "OK", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.answer);
    if (row.other && ::geteuid() != 0) continue;
    TempDir dir;
    const std::string path = dir.path() + "/driver.sock";
    ReportSocket socket;
    std::vector<FileEvent> events;
    ASSERT_EQ(rs_open(&socket, path), 1) << std::strerror(errno);
    ASSERT_TRUE(::chmod(dir.path().c_str(), 0755) == 0 && ::chmod(path.c_str(), row.mode) == 0);
    const pid_t pid = ::fork();
    if (pid == 0) {  // exits 0 when answered as the row says
      const bool as = !row.other || (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0);
      ::_exit(as && at_socket(path, std::string("COPY /from\0/to\0", 15)) == row.answer ? 0 : 1);
    }
    int status = -1;
    bool reaped = false;  // and every peer dropped once its connection ended (fault: a dropped peer stayed listed)
    if (!wait_until([&] {
          std::vector<pollfd> fds;
          rs_poll_fds(socket, &fds);
          if (::poll(fds.data(), fds.size(), 20) > 0) rs_service(&socket, fds.data(), fds.size(), &events);
          reaped = reaped || reap_program(pid, 0, &status);
          return reaped && socket.peers.empty();
        }) && !reaped)
      ::kill(pid, SIGKILL), reap_program(pid, -1, &status);
    EXPECT_EQ(status, 0) << "not answered " << row.answer;
    EXPECT_TRUE(events.size() == (row.other ? 0u : 1u) && socket.peers.empty());
    rs_close(&socket);
  }
}

}  // namespace
