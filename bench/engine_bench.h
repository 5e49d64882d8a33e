// The notes-table benchmark, our table engine against SQLite: the workload
// script both run, and the subject interface each engine implements.
//
// The script is computed once, before any engine runs, from a fixed seed:
// both subjects see the same paths, remarks and operation order, so their
// files hold the same notes at every step. Strings live in one pool; an
// operation names them by position in it.
//
// Single-threaded; each (size, cache setting) runs in a child process of its
// own because our page cache is process-wide and fixed at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Op {
  int32_t path = -1;      // pool index of the path worked on
  int32_t remark = -1;    // pool index of the remark it holds (or will hold)
  int32_t new_path = -1;  // pool index of the new path of a rename
};

// One phase of work on a table: each vector is one timed workload.
struct Phase {
  std::vector<Op> adds;      // add (path, remark)
  std::vector<Op> lookups;   // find the path, read the note, check the remark
  std::vector<Op> absent;    // find a path that is not there
  std::vector<Op> renames;   // find, read, write back under new_path
  std::vector<Op> deletes;   // find and delete
  std::vector<Op> readds;    // add again what deletes removed
  int64_t rows_at_scan = 0;  // notes in the table after the changes
};

struct Script {
  std::vector<std::string> pool;
  Phase bulk;     // from an empty table: load N, then everything else
  Phase durable;  // on the compacted table left by bulk, fewer changes
  int64_t notes = 0;
};

struct ScriptSizes {
  int64_t notes = 10000;
  int64_t lookups = 0;        // 0: min(notes, 100000)
  int64_t bulk_renames = 0;   // 0: min(notes / 2, 50000)
  int64_t durable_ops = 2000;  // changes of the durable phase, a quarter per change workload
  uint32_t seed = 20240607;
};

// Builds the whole script. Paths are 30..120 bytes and unique ignoring A-Z
// case (both engines' path keys fold case); remarks are 20..300 bytes.
Script make_script(const ScriptSizes& sizes);

// One engine on one table. Every call returns false (with a message on
// stderr) when the engine failed or gave an answer the script did not
// expect; the driver then gives up on the run.
class Subject {
 public:
  virtual ~Subject() = default;
  virtual const char* label() const = 0;
  // Empty table with the unique path index, open for work.
  virtual bool create() = 0;
  // Opens the table left in the files (by compact() or a restore).
  virtual bool open() = 0;
  virtual bool add(const std::string& path, const std::string& remark) = 0;
  virtual bool find_read(const std::string& path, const std::string& remark) = 0;
  virtual bool find_absent(const std::string& path) = 0;
  virtual bool rename(const std::string& path, const std::string& new_path) = 0;
  virtual bool remove(const std::string& path) = 0;
  // Reads every note in path order; the count, or -1. With `as_one_read`
  // the whole scan is one consistent read, as one SELECT statement is: our
  // shared table holds its table read lock for the scan (without it, the
  // lock is held for slices of the scan, as qbnote reads). Ours in
  // exclusive mode and SQLite ignore the flag.
  virtual int64_t scan(bool as_one_read) = 0;
  virtual bool close() = 0;
  // Compacts the closed table in path order and leaves the result as the
  // table's files; nanoseconds spent on the compaction itself, or -1.
  virtual int64_t compact() = 0;
  // The files that make up the closed table (for snapshots and sizes).
  virtual std::vector<std::string> files() const = 0;
};

// Our engine: exclusive (shared = 0) or shared mode (every change committed
// and flushed). The engine must be started by the caller.
Subject* make_ours(const std::string& base, int shared);

// SQLite with the given cache pages, journal mode and synchronous setting.
Subject* make_sqlite(const std::string& file, int cache_pages, const char* journal, const char* synchronous);
const char* sqlite_version_text();

// A-Z folded comparison of two paths, as both engines order them.
int compare_folded(const char* a, size_t a_len, const char* b, size_t b_len);

}  // namespace bench
