#include "driver/event_mapper.h"

#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

#include "event/file_event.h"
#include "platform/report.h"

namespace {

bool under(const std::string& path, const std::string& dir) {
  if (path.empty() || path.compare(0, dir.size(), dir) != 0) return false;
  return path.size() == dir.size() || dir == "/" || path[dir.size()] == '/';
}

std::string join(const std::string& dir, const char* name) {
  return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

void push_ready(EventMapper* m, int32_t op, std::string source, std::string target) {
  EventMapper::Slot s;
  s.event.operation = op;
  s.event.source = std::move(source);
  s.event.target = std::move(target);
  m->out.push_back(std::move(s));
}

// A new folder at `dir`: watch it and everything below, and report what the
// listing finds as created; a watched folder found there was renamed in
// unseen, and is reported as renamed (the IN_MOVED_FROM of its old place,
// still to come, then finds nothing left there to delete).
void push_listing(EventMapper* m, std::vector<std::string>& found, const std::map<std::string, std::string>& moved) {
  for (std::string& path : found) {
    m->scanned.insert(path);
    auto from = moved.find(path);
    if (from != moved.end())
      push_ready(m, OP_RENAME, from->second, std::move(path));
    else
      push_ready(m, OP_CREATE, "", std::move(path));
  }
}

void report_listing(EventMapper* m, const std::string& dir) {
  std::vector<std::string> found;
  std::map<std::string, std::string> moved;
  if (iw_add_tree(m->tree, dir, &found, &moved) != 1) return;  // gone again, or ignored: nothing to list
  push_listing(m, found, moved);
  iw_report_limit(m->tree);
}

// Roots waited for that are there again: watched, and what they hold
// reported as created, so that notes set aside for it come back.
void root_back(EventMapper* m) {
  if (m->tree->waiting.empty()) return;
  std::vector<std::string> found;
  std::map<std::string, std::string> moved;
  for (const std::string& r : iw_retry_waiting(m->tree, &found, &moved))
    qb_reportf(LogKind::kNotice, "driver: the watched folder %s is there again and followed", r.c_str());
  push_listing(m, found, moved);
  iw_report_limit(m->tree);
}

// The roots at `dir` or below it are waited for: their folder left its place.
void wait_roots_under(EventMapper* m, const std::string& dir) {
  std::vector<std::string> gone;
  for (const std::string& r : m->tree->roots)
    if (under(r, dir)) gone.push_back(r);
  for (const std::string& r : gone) iw_wait_root(m->tree, r);
}

EventMapper::Slot* waiting_for(EventMapper* m, uint32_t cookie) {
  for (auto it = m->out.rbegin(); it != m->out.rend(); ++it)
    if (it->waiting && it->cookie == cookie) return &*it;
  return nullptr;
}

size_t index_of(const EventMapper& m, const EventMapper::Slot* s) {
  size_t i = 0;
  while (&m.out[i] != s) ++i;
  return i;
}

// The folder `from` turned out to have been renamed to `to`: events held
// behind its move were resolved under the old name.
void rewrite_held(EventMapper* m, size_t after, const std::string& from, const std::string& to) {
  for (size_t i = after + 1; i < m->out.size(); ++i) {
    FileEvent& e = m->out[i].event;
    if (under(e.source, from)) e.source = to + e.source.substr(from.size());
    if (under(e.target, from)) e.target = to + e.target.substr(from.size());
  }
}

// The folder `gone` turned out to have left the roots: what was held behind
// its move and happened inside it happened outside. A move out of it into
// the roots is a creation there; a move from the roots into it a deletion.
void drop_held(EventMapper* m, size_t after, const std::string& gone) {
  for (size_t i = after + 1; i < m->out.size();) {
    EventMapper::Slot& s = m->out[i];
    bool from_gone = under(s.event.source, gone);
    bool to_gone = under(s.event.target, gone);
    if (!from_gone && !to_gone) {
      ++i;
      continue;
    }
    if (s.event.operation == OP_RENAME && from_gone != to_gone) {
      if (from_gone) s.event = {OP_CREATE, "", s.event.target};
      else s.event = {OP_DELETE, s.event.source, ""};
      s.waiting = false;
      ++i;
      continue;
    }
    if (s.waiting) {  // a move out of a folder that is itself outside: nothing the roots saw
      ++i;
      s.waiting = false;
      s.event.operation = 0;
      continue;
    }
    m->out.erase(m->out.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

// The one path a listing reported (still in `scanned`) whose last name is
// `name`; "" when there is none, or more than one.
std::string listed_namesake(const EventMapper& m, const char* name) {
  std::string found;
  const size_t length = std::strlen(name);
  for (const std::string& path : m.scanned) {
    if (path.size() <= length || path[path.size() - length - 1] != '/' ||
        path.compare(path.size() - length, length, name) != 0)
      continue;
    if (!found.empty()) return "";
    found = path;
  }
  return found;
}

bool is_file_at(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// A waiting move found no partner inside the roots: it stays the OP_DELETE
// it was filed as, unless a file of its name turned up in a new folder's
// listing (see event_mapper.h) and is still there.
void resolve_out(EventMapper* m, EventMapper::Slot* s) {
  assert(s->waiting);
  s->waiting = false;
  if (!s->folder && !s->listed.empty() && is_file_at(s->listed)) {
    s->event.operation = OP_RENAME;
    s->event.target = std::move(s->listed);
    return;
  }
  if (!s->folder) return;
  const std::string gone = s->event.source;
  iw_remove_tree(m->tree, gone);
  wait_roots_under(m, gone);
  drop_held(m, index_of(*m, s), gone);
  root_back(m);
}

// A root deleted, or moved where no root's watch saw it arrive: waited for
// until a folder of its name is there again.
void on_root_gone(EventMapper* m, std::string root, bool moved) {  // a copy: the map entry goes
  drv_warn("the watched folder %s was %s; it is no longer followed until a folder of that name is there again",
           root.c_str(), moved ? "moved away" : "deleted");
  iw_remove_tree(m->tree, root);
  iw_wait_root(m->tree, root);
  root_back(m);
}

void feed_one(EventMapper* m, const inotify_event* ev, int64_t now);

}  // namespace

void em_init(EventMapper* m, WatchTree* tree) {
  m->tree = tree;
  m->out.clear();
  m->scanned.clear();
  m->overflows = 0;
}

void em_feed(EventMapper* m, const inotify_event* ev, int64_t now) {
  // A root waited for may be coming back through its ancestor's watch.
  const bool ancestor = ev->wd >= 0 && iw_waiting_watch(*m->tree, ev->wd);
  feed_one(m, ev, now);
  if (ancestor) root_back(m);
}

namespace {

void feed_one(EventMapper* m, const inotify_event* ev, int64_t now) {
  drv_trace("wd=%d mask=0x%x cookie=%u name=%s", ev->wd, ev->mask, ev->cookie, ev->len > 0 ? ev->name : "");
  if ((ev->mask & IN_Q_OVERFLOW) != 0) {
    ++m->overflows;
    drv_warn("the kernel's event queue overflowed: file events were lost, so some notes may no longer follow "
             "their files; `qbnote ls --missing` lists notes whose files are gone. Watches re-scanned.");
    m->scanned.clear();
    iw_rescan(m->tree);
    push_ready(m, OP_RECONCILE, "", "");  // renames lost in the overflow are found again
    root_back(m);
    iw_report_limit(m->tree);
    return;
  }
  if ((ev->mask & IN_IGNORED) != 0) {
    iw_forget(m->tree, ev->wd);
    return;
  }
  const std::string* dir = iw_path(*m->tree, ev->wd);
  if (dir == nullptr) return;  // a watch already removed; its last events still drain
  if ((ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
    const auto& roots = m->tree->roots;
    if (std::find(roots.begin(), roots.end(), *dir) != roots.end())
      on_root_gone(m, *dir, (ev->mask & IN_MOVE_SELF) != 0);
    return;  // other folders' moves and deletions come from their parent's watch
  }
  if (ev->len == 0 || ev->name[0] == '\0') return;
  const std::string path = join(*dir, ev->name);
  const bool folder = (ev->mask & IN_ISDIR) != 0;

  if ((ev->mask & IN_MOVED_TO) != 0) {
    EventMapper::Slot* from = waiting_for(m, ev->cookie);
    if (iw_excluded(*m->tree, path)) {  // into the state folder: out of sight
      if (from != nullptr) resolve_out(m, from);
      return;
    }
    if (from != nullptr) {
      from->waiting = false;
      from->event.operation = OP_RENAME;
      from->event.target = path;
      if (from->folder) {
        const std::string old = from->event.source;
        iw_move_tree(m->tree, old, path);
        rewrite_held(m, index_of(*m, from), old, path);
        wait_roots_under(m, old);  // their watches came along; their old names are waited for
        const size_t slash = path.rfind('/');
        if (qb_ignored_name(m->tree->config, slash == 0 ? "/" : path.substr(0, slash), ev->name))
          iw_remove_tree(m->tree, path);  // renamed to an ignored name: nothing inside it is watched
        else if (iw_wd(*m->tree, path) < 0)
          iw_add_tree(m->tree, path, nullptr);  // renamed from one: watched now
        root_back(m);
      }
      return;
    }
    if (m->scanned.erase(path) != 0) return;  // a listing reported it already
    push_ready(m, OP_CREATE, "", path);
    if (folder) report_listing(m, path);
    return;
  }
  if (iw_excluded(*m->tree, path)) return;
  if ((ev->mask & IN_CREATE) != 0) {
    if (m->scanned.erase(path) != 0) return;
    push_ready(m, OP_CREATE, "", path);
    if (folder) report_listing(m, path);
  } else if ((ev->mask & IN_DELETE) != 0) {
    m->scanned.erase(path);
    push_ready(m, OP_DELETE, path, "");
  } else if ((ev->mask & IN_MOVED_FROM) != 0) {
    m->scanned.erase(path);
    EventMapper::Slot s;
    s.event.operation = OP_DELETE;
    s.event.source = path;
    s.waiting = true;
    s.folder = folder;
    if (!folder) s.listed = listed_namesake(*m, ev->name);
    s.cookie = ev->cookie;
    s.deadline = now + kPairWaitMs;
    m->out.push_back(std::move(s));
  }
}

}  // namespace

void em_feed_buffer(EventMapper* m, const char* buffer, size_t length, int64_t now) {
  size_t at = 0;
  while (at + sizeof(inotify_event) <= length) {
    const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
    em_feed(m, ev, now);
    at += sizeof(inotify_event) + ev->len;
  }
}

void em_queue_drained(EventMapper* m) { m->scanned.clear(); }

void em_expire(EventMapper* m, int64_t now) {
  for (size_t i = 0; i < m->out.size(); ++i) {
    EventMapper::Slot& s = m->out[i];
    if (s.waiting && s.deadline <= now) resolve_out(m, &s);
  }
}

int64_t em_next_deadline(const EventMapper& m) {
  for (const EventMapper::Slot& s : m.out)
    if (s.waiting) return s.deadline;  // invariant (2): the first is the earliest
  return -1;
}

bool em_take(EventMapper* m, FileEvent* out) {
  while (!m->out.empty() && !m->out.front().waiting) {  // invariant (1)
    EventMapper::Slot s = std::move(m->out.front());
    m->out.pop_front();
    if (s.event.operation == 0) continue;  // dropped in place
    *out = std::move(s.event);
    return true;
  }
  return false;
}
