#include "platform/registry.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <string>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/registry_text.h"
#include "platform/state_dir.h"

namespace {

// The file as last read or written by this process.
struct Cache {
  std::string file;
  FileStamp stamp;
  RegDoc doc;
  bool loaded = false;
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
Cache* g_cache = nullptr;  // made on first use, kept for the process

class Guard {
 public:
  Guard() {
    pthread_mutex_lock(&g_mutex);
    if (g_cache == nullptr) g_cache = new Cache;
  }
  ~Guard() { pthread_mutex_unlock(&g_mutex); }
};

// 0 when `file` is missing or may be trusted, EPERM when another user could
// have written it (platform/state_dir.h), else the error of looking.
int trusted(const std::string& file) {
  std::string why;
  const int r = qb_check_private(file, &why);
  return r == 1 || (r < 0 && errno == ENOENT) ? 0 : r == 0 ? EPERM : errno;
}

// Applies `change` to the file as it is now, under the file lock, and writes
// the file when `change` says it changed something. A missing file starts
// from the defaults and is always written. `change` is
// int (RegDoc&, bool* changed), giving 0 or an errno value.
template <typename Change>
int change_file(Change change) {
  std::string file = qb_state_path("registry.reg");
  if (file.empty()) return errno;
  if (int bad = trusted(file); bad != 0) return bad;
  int lock = af_lock(file);
  if (lock < 0) return errno;
  std::string text;
  FileStamp stamp;
  int r = af_read(file, &text, &stamp);
  int rc = 0;
  if (r < 0) {
    rc = errno;
  } else {
    RegDoc doc = r == 0 ? reg_defaults() : reg_parse(text, file, af_report_malformed);
    bool changed = r == 0;
    rc = change(doc, &changed);
    if (changed && af_replace(file, reg_format(doc)) != 1) {
      rc = errno;
    } else if (af_stamp(file, &stamp) == 1) {
      // Nobody else writes while we hold the lock: this stamp is our version.
      g_cache->file = file;
      g_cache->stamp = stamp;
      g_cache->doc = std::move(doc);
      g_cache->loaded = true;
    }
  }
  af_unlock(lock);
  return rc;
}

// Brings the cached copy up to date with the file, creating the file when it
// does not exist yet. 0 or an errno value.
int refresh() {
  std::string file = qb_state_path("registry.reg");
  if (file.empty()) return errno;
  if (int bad = trusted(file); bad != 0) return bad;
  FileStamp now;
  int r = af_stamp(file, &now);
  if (r < 0) return errno;
  if (r == 1 && g_cache->loaded && g_cache->file == file && same_stamp(now, g_cache->stamp)) return 0;
  std::string text;
  if (r == 1) r = af_read(file, &text, &now);
  if (r < 0) return errno;
  if (r == 0) return change_file([](RegDoc&, bool*) { return 0; });
  g_cache->doc = reg_parse(text, file, af_report_malformed);
  g_cache->file = file;
  g_cache->stamp = now;
  g_cache->loaded = true;
  return 0;
}

// The full path of `sub` below `base`; trailing backslashes name the same key.
// A line break cannot be written inside a key's "[...]" header line, and an
// empty component names no key: both EINVAL.
int join(const std::string& base, const char* sub, std::string* out) {
  std::string s = sub != nullptr ? sub : "";
  if (s.find_first_of("\r\n") != std::string::npos) return EINVAL;
  while (!s.empty() && s.back() == '\\') s.pop_back();
  if (s.empty()) {
    *out = base;
    return 0;
  }
  if (s.front() == '\\' || s.find("\\\\") != std::string::npos) return EINVAL;
  *out = base + "\\" + s;
  return 0;
}

// Makes the key `path` when missing; *created tells whether this call did.
int create_key(const std::string& path, bool* created) {
  *created = false;
  if (reg_key_exists(g_cache->doc, path)) return 0;
  return change_file([&](RegDoc& doc, bool* changed) {
    if (!reg_key_exists(doc, path)) {  // another program may have made it meanwhile
      doc.sections.push_back(RegSection{true, path, {}});
      *changed = *created = true;
    }
    return 0;
  });
}

// Sets `v` in the key `path`, creating the key when it has no block.
int set_value(const std::string& path, const RegValue& v) {
  return change_file([&](RegDoc& doc, bool* changed) {
    RegSection* s = reg_find_section(doc, path);
    if (s == nullptr) {  // a missing key, or one known only by the keys below it
      doc.sections.push_back(RegSection{true, path, {}});
      s = &doc.sections.back();
    }
    RegValue* old = reg_find_value(*s, v.name);
    if (old != nullptr && old->type == v.type && old->data == v.data) return 0;
    if (old != nullptr) {
      old->type = v.type;
      old->data = v.data;
    } else {
      RegLine l;
      l.is_value = true;
      l.value = v;
      s->lines.push_back(l);
    }
    *changed = true;
    return 0;
  });
}

int delete_value(const std::string& path, const std::string& name) {
  return change_file([&](RegDoc& doc, bool* changed) {
    RegSection* s = reg_find_section(doc, path);
    if (s == nullptr) return ENOENT;
    for (size_t i = 0; i < s->lines.size(); ++i) {
      if (s->lines[i].is_value && reg_same_name(s->lines[i].value.name, name)) {
        s->lines.erase(s->lines.begin() + static_cast<long>(i));
        *changed = true;
        return 0;
      }
    }
    return ENOENT;
  });
}

// The value `name` of the key `path` in the fresh copy, or null.
const RegValue* find_value(const std::string& path, const char* name) {
  RegSection* s = reg_find_section(g_cache->doc, path);
  return s != nullptr ? reg_find_value(*s, name != nullptr ? name : "") : nullptr;
}

const char* hive_name(RegHive hive) {
  return hive == RegHive::kCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

// Resolves a plain call's key and refreshes the copy.
int plain_path(RegHive hive, const char* key, std::string* path) {
  int rc = join(hive_name(hive), key, path);
  return rc != 0 ? rc : refresh();
}

}  // namespace

// ---- the plain interface ----------------------------------------------------

// The value `name` of `key` in the fresh copy, when it has type `type`: 0,
// ENOENT, EPROTOTYPE or the refresh's error. The caller holds the guard.
static int read_value(RegHive hive, const char* key, const char* name, uint32_t type, const RegValue** out) {
  std::string path;
  int rc = plain_path(hive, key, &path);
  if (rc != 0) return rc;
  *out = find_value(path, name);
  if (*out == nullptr) return ENOENT;
  return (*out)->type == type ? 0 : EPROTOTYPE;
}

int reg_read_number(RegHive hive, const char* key, const char* name, uint32_t* value) {
  Guard g;
  const RegValue* v = nullptr;
  int rc = read_value(hive, key, name, REG_DWORD, &v);
  if (rc != 0) return rc;
  if (v->data.size() != sizeof *value) return EPROTOTYPE;
  std::memcpy(value, v->data.data(), sizeof *value);
  return 0;
}

int reg_read_string(RegHive hive, const char* key, const char* name, std::string* value) {
  Guard g;
  const RegValue* v = nullptr;
  int rc = read_value(hive, key, name, REG_SZ, &v);
  if (rc == 0) *value = v->data;
  return rc;
}

// Sets the value `name` of `key` to `data` of `type`. The caller holds the
// guard.
static int write_value(RegHive hive, const char* key, const char* name, uint32_t type, std::string data) {
  std::string path;
  int rc = join(hive_name(hive), key, &path);
  if (rc != 0) return rc;
  RegValue v;
  v.name = name != nullptr ? name : "";
  v.type = type;
  v.data = std::move(data);
  return set_value(path, v);
}

int reg_write_number(RegHive hive, const char* key, const char* name, uint32_t value) {
  Guard g;
  return write_value(hive, key, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

int reg_write_string(RegHive hive, const char* key, const char* name, const std::string& value) {
  Guard g;
  // The file's strings end at a zero byte.
  return write_value(hive, key, name, REG_SZ, value.substr(0, value.find('\0')));
}

int reg_delete_value(RegHive hive, const char* key, const char* name) {
  Guard g;
  std::string path;
  int rc = join(hive_name(hive), key, &path);
  return rc != 0 ? rc : delete_value(path, name != nullptr ? name : "");
}

int reg_create_key(RegHive hive, const char* key) {
  Guard g;
  std::string path;
  bool created = false;
  int rc = plain_path(hive, key, &path);
  return rc != 0 ? rc : create_key(path, &created);
}
