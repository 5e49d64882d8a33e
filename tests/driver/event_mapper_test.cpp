// Kernel events to file events, two decision tables: the mapper fed made-up
// kernel events over a real watch tree, and the driver on the real kernel.
#include <sys/inotify.h>

#include <cerrno>
#include <map>
#include <set>

#include "driver/driver_fixture.h"
#include "driver/event_mapper.h"
#include "driver/inotify_watch.h"
#include "support/log_capture.h"

namespace {

std::string g_full;  // below it, the kernel is out of watches
std::set<std::string> g_mounts;
int add_watch_until_full(int fd, const char* path, uint32_t mask) {
  if (std::string(path).rfind(g_full, 0) == 0) return errno = ENOSPC, -1;
  return inotify_add_watch(fd, path, mask);
}

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string part; std::getline(in, part, ',');) out.push_back(part);
  return out;
}

// Kernel events: "create p", "delete p", "from p cookie", "to p cookie" ('/' a
// folder), "overflow", "selfdel", "back" (the root made again). "at t": the clock
// at the pairing wait plus t. Checks: "= events" (all out since the last),
// "last", "w"/"nw" (not) watched, "same a b" (b has a's first watch), "gone p",
// "deadline t|none", "roots n waiting", "log n text" ('~' the root), "overflows
// n", "counts ignored mounts unwatched".
struct MapperRig : RigFolders, Paths {
  LogCapture log;
  WatchTree tree;
  EventMapper m;
  std::map<std::string, int> first;
  int64_t now = 1000;
  MapperRig() : Paths{resolved(root_tmp.path()), ""} {
    std::filesystem::create_directories(at("d/s"));
    EXPECT_EQ(iw_open(&tree, at("state")), 1);
    EXPECT_EQ(iw_add_root(&tree, root), 1);
    em_init(&m, &tree);
    first = tree.by_path;
  }
  ~MapperRig() { iw_close(&tree); }
  int wd(const std::string& p) const { return iw_wd(tree, at(p)); }
  int64_t wait_end(const std::string& t) const { return 1000 + kPairWaitMs + std::stoi(t); }

  // One read() of the kernel's: the header, then the name padded.
  void feed(int watch, uint32_t mask, const std::string& name, uint32_t cookie) {
    const size_t padded = name.empty() ? 0 : (name.size() / 8 + 1) * 8;
    std::vector<char> bytes(sizeof(inotify_event) + padded, 0);
    auto* e = reinterpret_cast<inotify_event*>(bytes.data());
    e->wd = watch, e->mask = mask, e->cookie = cookie, e->len = static_cast<uint32_t>(padded);
    std::copy(name.begin(), name.end(), e->name);
    em_feed_buffer(&m, bytes.data(), bytes.size(), now);
  }
  void kernel(uint32_t mask, std::string p, const std::string& cookie) {
    if (p.back() == '/') mask |= IN_ISDIR, p.pop_back();
    const size_t slash = p.rfind('/');
    feed(wd(slash == std::string::npos ? "." : p.substr(0, slash)), mask, p.substr(slash + 1),
         cookie.empty() ? 0 : std::stoul(cookie));
  }

  void step(const std::vector<std::string>& s) {
    const std::string& op = s[0];
    const std::vector<std::string> args(s.begin() + 1, s.end());
    const std::string a = args.empty() ? "" : args[0], b = args.size() > 1 ? args[1] : "";
    const std::map<std::string, uint32_t> masks = {
        {"create", IN_CREATE}, {"delete", IN_DELETE}, {"from", IN_MOVED_FROM}, {"to", IN_MOVED_TO}};
    if (disk(s)) return;
    if (masks.count(op)) kernel(masks.at(op), a, b);
    else if (op == "overflow") feed(-1, IN_Q_OVERFLOW, "", 0);
    else if (op == "selfdel") feed(wd("."), IN_DELETE_SELF, "", 0);
    else if (op == "back") feed(tree.waiting[root], IN_CREATE | IN_ISDIR, std::filesystem::path(root).filename(), 0);
    else if (op == "at") em_expire(&m, now = wait_end(a));
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
    else if (op == "deadline") EXPECT_EQ(em_next_deadline(m), a == "none" ? -1 : wait_end(a));
    else if (op == "roots") EXPECT_EQ(std::to_string(tree.roots.size()) + std::to_string(tree.waiting.size()), a + b);
    else if (op == "overflows") EXPECT_EQ(m.overflows, std::stoul(a));
    else if (op == "counts")
      EXPECT_EQ(std::to_string(tree.ignored) + std::to_string(tree.mounts_skipped) + std::to_string(tree.unwatched),
                a + b + args.at(2));
    else if (op == "log") {
      std::string text;
      for (size_t i = 1; i < args.size(); ++i) text += (i > 1 ? " " : "") + (args[i] == "~" ? root : args[i]);
      EXPECT_EQ(log.count(text), std::stoi(a)) << text;
    } else if (op == "ignore") tree.config.ignore = split(a);
    else if (op == "home") tree.config.home = at(a);
    else if (op == "cross") tree.config.cross_mounts = true;
    else if (op == "full") g_full = at(a), tree.add_watch = add_watch_until_full;
    else if (op == "mounts") {
      g_mounts.clear();
      for (const std::string& p : split(a)) g_mounts.insert(at(p));
      tree.read_mounts = [] { return g_mounts; };
    } else ADD_FAILURE() << "no step " << op;
  }
};

TEST(EventMapper, KernelEventSequencesBecomeFileEvents) {
  const struct { const char* name; const char* script; } rows[] = {
      {"rename halves in separate reads", "from a 7; =; at -1; to d/b 7; = a>d/b"},
      {"an unpaired move-out is a delete once its wait runs out; its late partner a move-in",
       "from a 7; deadline 0; at -1; =; at 0; = -a; deadline none; to b 7; = +b"},
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
       "mkdir unseen/deep; rm d; overflow; w unseen/deep; nw d d/s; overflows 1; log 1 qbnote ls --missing; = *"},
      {"the state folder is never watched nor reported; a folder renamed to it leaves",
       "mkdir state/inner; create state/; =; nw state; from d/ 9; to state/ 9; = -d; nw d/s; rescan; nw state/inner"},
      {"a deleted root is waited for and watched again when made",
       "rm .; selfdel; roots 0 1; log 1 no longer followed; mkdir d; put d/f; back; roots 1 0; = +d +d/f; w d"},
      {"a nested root renamed is a rename and its old name is waited for",
       "root d; mv d e; from d/ 5; to e/ 5; = d>e; roots 1 1; w e/s; mkdir d; create d/; roots 2 0"},
      {"ignored names, mount points and the watch limit are not entered",
       "ignore .git,node_modules,.cache; home home; mounts .,m; full full; mkdir .git/objects/a; "
       "mkdir p/node_modules/x; mkdir home/.cache/y; mkdir p/.cache; mkdir m/inner; mkdir full/a/b; rescan; limit; "
       "limit; nw .git .git/objects p/node_modules home/.cache m full full/a; w . p home p/.cache d/s; counts 3 1 3; "
       "log 1 3 folders under ~ are not watched; cross; rescan; w m/inner; mv d node_modules; from d/ 8; "
       "to node_modules/ 8; mv .git git; from .git/ 9; to git/ 9; = d>node_modules .git>git; nw node_modules/s; "
       "w git/objects/a"},
      // Into a folder made just before: the kernel tells only the move's first half.
      {"a file moved into a folder not yet watched is a rename",
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
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    MapperRig rig;
    for (const auto& s : steps(row.script)) rig.step(s);
  }
}

// "load"; "? events" waited for; "once"/"none" counts; "never paths": nothing
// at or below them; "home p": the state folder in the root; "homeroot": no roots set.
TEST(DriverEvents, KernelEventsComeThroughTheDriver) {
  const std::string deep = std::string(200, 'd') + "/" + std::string(80, 'f');  // longer than a note's path
  const std::string rows[] = {
      "put gone; load; rm gone; ? -gone",
      "put old; mkdir sub; load; mv old sub/new; ? old>sub/new; sentinel; none -old +sub/new",
      "load; mkdir a/b/c; put a/b/c/f; ? +a/b/c/f; sentinel; once +a +a/b +a/b/c +a/b/c/f; put a/b/c/g; ? +a/b/c/g",
      "mkdir d/s; put d/f; load; mv d e; mv e/f e/g; put e/s/x; ? d>e e/f>e/g +e/s/x; never d/f d/s",
      "mkdir m/n; load; mv m @m; ? -m; put @m/n/later; sentinel; never m/n @",
      "mkdir @box/inner; put @box/inner/thing; load; mv @box box; ? +box +box/inner +box/inner/thing; "
      "put box/inner/new; ? +box/inner/new",
      "mkdir " + std::string(200, 'd') + "; load; put " + deep + "; ? +" + deep,
      "home state; load; put state/in; mkdir state/deeper/still; put state/deeper/still/file; sentinel; never state",
      "homeroot; load; put at-home; ? +at-home",
  };
  const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "/";
  for (const std::string& row : rows) {
    SCOPED_TRACE(row);
    DriverRig r;
    for (const auto& s : steps(row)) {
      if (r.disk(s)) continue;
      for (size_t i = 1; i < s.size(); ++i) {
        if (s[0] == "?") { EXPECT_TRUE(r.wait_for(s[i])) << s[i]; }
        if (s[0] == "once" || s[0] == "none") { EXPECT_EQ(r.count(s[i]), s[0] == "once" ? 1 : 0) << s[i]; }
        if (s[0] == "never") { EXPECT_FALSE(r.reported_under(s[i])) << s[i]; }
      }
      if (s[0] == "load") r.load();
      if (s[0] == "sentinel") r.sentinel();
      if (s[0] == "home") ::setenv("QB_HOME", r.at(s[1]).c_str(), 1), set_watch_roots(r.root);
      if (s[0] == "homeroot") {
        ASSERT_EQ(reg_delete_value(RegHive::kLocalMachine, kConfigurationKey, "WatchRoots"), 0);
        ::setenv("HOME", r.root.c_str(), 1);
      }
      if (::testing::Test::HasFatalFailure()) break;
    }
    ::setenv("HOME", home.c_str(), 1);
  }
}

}  // namespace
