// Finding notes' files again by identity (see reconcile.h).
#include "tracking/reconcile.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <unordered_map>

#include "platform/report.h"
#include "tracking/do_response.h"
#include "tracking/identities.h"
#include "tracking/table_guard.h"
#include "tracking/walk_folder.h"
#include "upkeep/database.h"
#include "upkeep/identity_table.h"
#include "upkeep/monitor_tables.h"

namespace {

constexpr std::chrono::milliseconds kSlice{250};

// Every note's path, in index order.
std::vector<std::string> notePaths() {
  std::vector<std::string> paths;
  const int field = notesTable.fieldNumber(kPathFieldName);
  for (int r = notesTable.firstRecord(); r == 1; r = notesTable.nextRecord()) {
    if (notesTable.readRecord(0) != 1) continue;
    const char* p = notesTable.getField(field);
    if (p != nullptr) paths.emplace_back(p);
  }
  return paths;
}

bool nothingThere(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

}  // namespace

void reconcileBegin(Reconciliation* r, IdentityProbe* probe) {
  endEventGroup();
  r->lost.clear();
  if (!notesTable.isOpen() || !idTable.isOpen()) return;
  const std::vector<std::string> paths = notePaths();
  r->notes = paths.size();
  TableWriteHold hold(idTable);  // the refreshed identities commit together
  for (const std::string& path : paths) {
    FileIdentity now;
    const int e = qb_file_identity(path.c_str(), &now);
    std::string text;
    const bool known = recordedIdentity(idTable, path.c_str(), &text);
    if (e == 0) {
      const std::string current = qb_identity_text(now);
      if (!known || text != current) {
        (void)writeIdentity(idTable, path.c_str(), current);
        ++r->recorded;
      }
    } else if ((e == ENOENT || e == ENOTDIR) && known) {
      Reconciliation::Lost lost{path, {}};
      if (!qb_parse_identity(text.c_str(), &lost.id)) continue;
      probe->inodes.insert(lost.id.ino);
      r->lost.push_back(std::move(lost));
    }
  }
}

size_t reconcileEnd(const Reconciliation& r, const IdentityProbe& probe) {
  if (r.lost.empty() || !notesTable.isOpen()) return 0;
  std::unordered_multimap<uint64_t, const std::string*> byInode;
  for (const auto& [path, ino] : probe.found) byInode.emplace(ino, &path);

  // Each lost note's one matching file, or "" when none or several match.
  std::vector<std::string> match(r.lost.size());
  std::unordered_map<std::string, int> claims;
  for (size_t i = 0; i < r.lost.size(); ++i) {
    const Reconciliation::Lost& lost = r.lost[i];
    int matches = 0;
    auto [from, to] = byInode.equal_range(lost.id.ino);
    for (auto it = from; it != to; ++it) {
      FileIdentity found;
      bool sure = false;
      if (qb_file_identity(it->second->c_str(), &found) != 0 || !qb_same_identity(lost.id, found, &sure)) continue;
      if (++matches == 1) match[i] = *it->second;
    }
    if (matches > 1) {
      traceLine("RECONCILE AMBIGUOUS: %s\n", lost.path.c_str());
      match[i].clear();
    }
    if (!match[i].empty()) ++claims[match[i]];
  }

  // The moves commit together, as events do when they come in a burst
  // (do_response.h), in slices of kSliceMs: another program waiting for the
  // tables gets in between two.
  size_t moved = 0;
  auto sliceEnds = std::chrono::steady_clock::now() + kSlice;
  beginEventGroup();
  for (size_t i = 0; i < r.lost.size(); ++i) {
    if (std::chrono::steady_clock::now() >= sliceEnds) {
      endEventGroup();
      beginEventGroup();
      sliceEnds = std::chrono::steady_clock::now() + kSlice;
    }
    const char* old = r.lost[i].path.c_str();
    const std::string& now = match[i];
    if (now.empty()) continue;
    if (claims[now] > 1) {
      traceLine("RECONCILE AMBIGUOUS: %s\n", old);
      continue;
    }
    // The disk may have changed since the look: the old path must still
    // be empty, and the file's new path must not have a note of its own.
    if (now.size() > kEventPathMax || !nothingThere(old) || lookUp(notesTable, now.c_str()) == kKeyFound) continue;
    struct stat st;
    if (::lstat(now.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      walkFolder(old, now.c_str());
      moveIdentities(old, now.c_str());
    }
    if (!lockNote(old)) continue;
    setPath(notesTable, now.c_str());
    updateLocked();
    moveIdentity(old, now.c_str());
    traceLine("RECONCILED: %s, %s\n", old, now.c_str());
    ++moved;
  }
  endEventGroup();
  if (moved > 0) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "%zu notes found their files again: the files had moved while the Monitor was not watching.", moved);
    qb_report(LogKind::kNotice, text);
  }
  return moved;
}
