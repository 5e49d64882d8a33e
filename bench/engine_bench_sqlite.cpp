// SQLite as the benchmark's peer: the same notes table as
//   CREATE TABLE notes(path TEXT COLLATE NOCASE, remark TEXT)
// with a unique index on path, 512-byte pages, autocommit (every statement
// its own transaction) and prepared statements reused for the whole run.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine_bench.h"

namespace bench {
namespace {

class Sqlite final : public Subject {
 public:
  Sqlite(std::string file, int cache_pages, const char* journal, const char* synchronous)
      : file_(std::move(file)), cache_pages_(cache_pages), journal_(journal), synchronous_(synchronous) {
    label_ = std::string("sqlite ") + journal + "/" + synchronous;
  }
  ~Sqlite() override { (void)close(); }

  const char* label() const override { return label_.c_str(); }

  bool create() override {
    std::error_code ec;
    for (const std::string& f : files()) std::filesystem::remove(f, ec);
    // The page size must be set before the first table makes the file.
    return connect(true) &&
           exec("CREATE TABLE notes(path TEXT COLLATE NOCASE, remark TEXT);"
                "CREATE UNIQUE INDEX notes_path ON notes(path);") &&
           prepare_all();
  }

  bool open() override { return connect(false) && prepare_all(); }

  bool add(const std::string& path, const std::string& remark) override {
    sqlite3_bind_text(insert_, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert_, 2, remark.data(), static_cast<int>(remark.size()), SQLITE_STATIC);
    int rc = sqlite3_step(insert_);
    sqlite3_reset(insert_);
    return rc == SQLITE_DONE || failed("insert");
  }

  bool find_read(const std::string& path, const std::string& remark) override {
    sqlite3_bind_text(find_, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    if (sqlite3_step(find_) != SQLITE_ROW) return reset_failed(find_, "select by path (present)");
    copy_column(find_, 0, &path_buffer_);
    copy_column(find_, 1, &remark_buffer_);
    int rc = sqlite3_step(find_);
    sqlite3_reset(find_);
    if (rc != SQLITE_DONE) return failed("select by path (one row)");
    return remark_buffer_ == remark || wrong("remark read back");
  }

  bool find_absent(const std::string& path) override {
    sqlite3_bind_text(find_, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    int rc = sqlite3_step(find_);
    sqlite3_reset(find_);
    return rc == SQLITE_DONE || failed("select by path (absent)");
  }

  bool rename(const std::string& path, const std::string& new_path) override {
    // Find and read the note, then write it back under its new path: the
    // same steps as a find, a read and an update of our engine.
    sqlite3_bind_text(find_, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    if (sqlite3_step(find_) != SQLITE_ROW) return reset_failed(find_, "select by path (rename)");
    sqlite3_int64 rowid = sqlite3_column_int64(find_, 2);
    copy_column(find_, 1, &remark_buffer_);
    sqlite3_reset(find_);
    sqlite3_bind_text(update_, 1, new_path.data(), static_cast<int>(new_path.size()), SQLITE_STATIC);
    sqlite3_bind_int64(update_, 2, rowid);
    int rc = sqlite3_step(update_);
    sqlite3_reset(update_);
    if (rc != SQLITE_DONE || sqlite3_changes(db_) != 1) return failed("update path");
    return true;
  }

  bool remove(const std::string& path) override {
    sqlite3_bind_text(delete_, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    int rc = sqlite3_step(delete_);
    sqlite3_reset(delete_);
    return (rc == SQLITE_DONE && sqlite3_changes(db_) == 1) || failed("delete by path");
  }

  int64_t scan(bool) override {
    int64_t rows = 0;
    int rc;
    while ((rc = sqlite3_step(scan_)) == SQLITE_ROW) {
      const char* p = reinterpret_cast<const char*>(sqlite3_column_text(scan_, 0));
      size_t len = static_cast<size_t>(sqlite3_column_bytes(scan_, 0));
      if (rows > 0 && compare_folded(path_buffer_.data(), path_buffer_.size(), p, len) >= 0) {
        sqlite3_reset(scan_);
        wrong("scan order");
        return -1;
      }
      path_buffer_.assign(p, len);
      copy_column(scan_, 1, &remark_buffer_);
      ++rows;
    }
    sqlite3_reset(scan_);
    if (rc != SQLITE_DONE) {
      failed("scan");
      return -1;
    }
    return rows;
  }

  bool close() override {
    if (db_ == nullptr) return true;
    for (sqlite3_stmt** s : {&insert_, &find_, &update_, &delete_, &scan_}) {
      sqlite3_finalize(*s);
      *s = nullptr;
    }
    int rc = sqlite3_close(db_);
    db_ = nullptr;
    return rc == SQLITE_OK || failed("close");
  }

  int64_t compact() override {
    // VACUUM rebuilds the file in place; closing afterwards makes it whole
    // in the main file (in WAL mode the close checkpoints), as the end of
    // our copy does with its target.
    if (!connect(false)) return -1;
    auto start = std::chrono::steady_clock::now();
    bool ok = exec("VACUUM;") && close();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    return ok ? ns : -1;
  }

  std::vector<std::string> files() const override {
    return {file_, file_ + "-journal", file_ + "-wal", file_ + "-shm"};
  }

 private:
  bool connect(bool fresh) {
    if (sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
      return failed("open");
    std::string pragmas;
    if (fresh) pragmas += "PRAGMA page_size=512;";
    pragmas += "PRAGMA cache_size=" + std::to_string(cache_pages_) + ";";
    pragmas += std::string("PRAGMA journal_mode=") + journal_ + ";";
    pragmas += std::string("PRAGMA synchronous=") + synchronous_ + ";";
    if (!exec(pragmas.c_str())) return false;
    // journal_mode answers with the mode in force; WAL can be refused.
    std::string mode = query_text("PRAGMA journal_mode;");
    for (char& c : mode) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (mode != journal_) return wrong("journal mode in force");
    if (!fresh && query_text("PRAGMA page_size;") != "512") return wrong("page size");
    return true;
  }

  bool prepare_all() {
    return prepare("INSERT INTO notes(path, remark) VALUES(?1, ?2)", &insert_) &&
           prepare("SELECT path, remark, rowid FROM notes WHERE path = ?1", &find_) &&
           prepare("UPDATE notes SET path = ?1 WHERE rowid = ?2", &update_) &&
           prepare("DELETE FROM notes WHERE path = ?1", &delete_) &&
           prepare("SELECT path, remark FROM notes ORDER BY path", &scan_);
  }

  bool prepare(const char* sql, sqlite3_stmt** out) {
    return sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, out, nullptr) == SQLITE_OK ||
           failed(sql);
  }

  bool exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    std::fprintf(stderr, "%s: %s: %s\n", label(), sql, message != nullptr ? message : "?");
    sqlite3_free(message);
    return false;
  }

  std::string query_text(const char* sql) {
    sqlite3_stmt* s = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(s, 0);
      if (text != nullptr) out = reinterpret_cast<const char*>(text);
    }
    sqlite3_finalize(s);
    return out;
  }

  static void copy_column(sqlite3_stmt* s, int column, std::string* out) {
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    out->assign(text != nullptr ? text : "", static_cast<size_t>(sqlite3_column_bytes(s, column)));
  }

  bool reset_failed(sqlite3_stmt* s, const char* what) {
    sqlite3_reset(s);
    return failed(what);
  }
  bool failed(const char* what) const {
    std::fprintf(stderr, "%s: %s failed: %s\n", label(), what, db_ != nullptr ? sqlite3_errmsg(db_) : "no connection");
    return false;
  }
  bool wrong(const char* what) const {
    std::fprintf(stderr, "%s: wrong %s\n", label(), what);
    return false;
  }

  std::string file_;
  int cache_pages_;
  const char* journal_;
  const char* synchronous_;
  std::string label_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* find_ = nullptr;
  sqlite3_stmt* update_ = nullptr;
  sqlite3_stmt* delete_ = nullptr;
  sqlite3_stmt* scan_ = nullptr;
  std::string path_buffer_, remark_buffer_;
};

}  // namespace

Subject* make_sqlite(const std::string& file, int cache_pages, const char* journal, const char* synchronous) {
  return new Sqlite(file, cache_pages, journal, synchronous);
}

const char* sqlite_version_text() { return sqlite3_libversion(); }

}  // namespace bench
