#include "platform/registry.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <set>
#include <string>

#include "platform/atomic_file.h"
#include "platform/registry_text.h"
#include "platform/state_dir.h"

// What an HKEY other than a hive points at: the full path of the key it was
// opened on. Live handles are listed in g_open; only those are accepted.
struct QbRegKey {
  std::string path;
};

namespace {

// The file as last read or written by this process.
struct Cache {
  std::string file;
  FileStamp stamp;
  RegDoc doc;
  bool loaded = false;
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
Cache* g_cache = nullptr;             // made on first use, kept for the process
std::set<QbRegKey*>* g_open = nullptr;

class Guard {
 public:
  Guard() {
    pthread_mutex_lock(&g_mutex);
    if (g_cache == nullptr) {
      g_cache = new Cache;
      g_open = new std::set<QbRegKey*>;
    }
  }
  ~Guard() { pthread_mutex_unlock(&g_mutex); }
};

// The old calls' codes for an errno value of the calls below.
LONG to_win(int e, bool writing) {
  switch (e) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    default: return writing ? ERROR_WRITE_FAULT : ERROR_READ_FAULT;
  }
}

// Applies `change` to the file as it is now, under the file lock, and writes
// the file when `change` says it changed something. A missing file starts
// from the defaults and is always written. `change` is
// int (RegDoc&, bool* changed), giving 0 or an errno value.
template <typename Change>
int change_file(Change change) {
  std::string file = qb_state_path("registry.reg");
  if (file.empty()) return errno;
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

bool key_path(HKEY key, std::string* out) {
  if (key == HKEY_LOCAL_MACHINE) {
    *out = "HKEY_LOCAL_MACHINE";
  } else if (key == HKEY_CURRENT_USER) {
    *out = "HKEY_CURRENT_USER";
  } else if (g_open->count(key) != 0) {
    *out = key->path;
  } else {
    return false;
  }
  return true;
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

// Resolves `key` + `sub` and refreshes the copy.
int resolve(HKEY key, const char* sub, std::string* path) {
  std::string base;
  if (!key_path(key, &base)) return EBADF;
  int rc = join(base, sub, path);
  return rc != 0 ? rc : refresh();
}

HKEY new_handle(const std::string& path) {
  QbRegKey* k = new QbRegKey{path};
  g_open->insert(k);
  return k;
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

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM, PHKEY result) {
  Guard g;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::string path;
  int rc = resolve(key, sub_key, &path);
  if (rc == EBADF) return ERROR_INVALID_HANDLE;
  if (rc != 0) return to_win(rc, false);
  if (!reg_key_exists(g_cache->doc, path)) return ERROR_FILE_NOT_FOUND;
  *result = new_handle(path);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition) {
  Guard g;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::string path;
  int rc = resolve(key, sub_key, &path);
  if (rc == EBADF) return ERROR_INVALID_HANDLE;
  bool created = false;
  if (rc == 0) rc = create_key(path, &created);
  if (rc != 0) return to_win(rc, true);
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = new_handle(path);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  Guard g;
  std::string path;
  int rc = resolve(key, nullptr, &path);
  if (rc == EBADF) return ERROR_INVALID_HANDLE;
  if (rc != 0) return to_win(rc, false);
  const RegValue* v = find_value(path, name);
  if (v == nullptr) return ERROR_FILE_NOT_FOUND;
  DWORD need = static_cast<DWORD>(v->data.size()) + (v->type == REG_SZ ? 1 : 0);
  if (type != nullptr) *type = v->type;
  if (data == nullptr) {
    if (size != nullptr) *size = need;
    return ERROR_SUCCESS;
  }
  if (size == nullptr) return ERROR_INVALID_PARAMETER;
  if (*size < need) {
    *size = need;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, v->data.data(), v->data.size());
  if (v->type == REG_SZ) data[v->data.size()] = 0;
  *size = need;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  Guard g;
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  RegValue v;
  v.name = name != nullptr ? name : "";
  v.type = type;
  const char* bytes = reinterpret_cast<const char*>(data);
  if (type == REG_SZ) {
    v.data.assign(bytes != nullptr ? bytes : "", bytes != nullptr ? strnlen(bytes, size) : 0);
  } else if (type == REG_DWORD) {
    if (size != 4) return ERROR_INVALID_PARAMETER;
    v.data.assign(bytes, 4);
  } else if (size > 0) {
    v.data.assign(bytes, size);
  }
  std::string path;
  if (!key_path(key, &path)) return ERROR_INVALID_HANDLE;
  return to_win(set_value(path, v), true);
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
  Guard g;
  std::string path;
  if (!key_path(key, &path)) return ERROR_INVALID_HANDLE;
  return to_win(delete_value(path, name != nullptr ? name : ""), true);
}

LONG RegFlushKey(HKEY key) {
  Guard g;
  std::string path;
  return key_path(key, &path) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegCloseKey(HKEY key) {
  Guard g;
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  if (g_open->erase(key) == 0) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}

// ---- the plain interface ----------------------------------------------------

int reg_read_number(RegHive hive, const char* key, const char* name, uint32_t* value) {
  Guard g;
  std::string path;
  int rc = plain_path(hive, key, &path);
  if (rc != 0) return rc;
  const RegValue* v = find_value(path, name);
  if (v == nullptr) return ENOENT;
  if (v->type != REG_DWORD || v->data.size() != sizeof *value) return EPROTOTYPE;
  std::memcpy(value, v->data.data(), sizeof *value);
  return 0;
}

int reg_read_string(RegHive hive, const char* key, const char* name, std::string* value) {
  Guard g;
  std::string path;
  int rc = plain_path(hive, key, &path);
  if (rc != 0) return rc;
  const RegValue* v = find_value(path, name);
  if (v == nullptr) return ENOENT;
  if (v->type != REG_SZ) return EPROTOTYPE;
  *value = v->data;
  return 0;
}

int reg_write_number(RegHive hive, const char* key, const char* name, uint32_t value) {
  Guard g;
  std::string path;
  int rc = join(hive_name(hive), key, &path);
  if (rc != 0) return rc;
  RegValue v;
  v.name = name != nullptr ? name : "";
  v.type = REG_DWORD;
  v.data.assign(reinterpret_cast<const char*>(&value), sizeof value);
  return set_value(path, v);
}

int reg_write_string(RegHive hive, const char* key, const char* name, const std::string& value) {
  Guard g;
  std::string path;
  int rc = join(hive_name(hive), key, &path);
  if (rc != 0) return rc;
  RegValue v;
  v.name = name != nullptr ? name : "";
  v.type = REG_SZ;
  v.data = value.substr(0, value.find('\0'));  // the file's strings end at a zero byte
  return set_value(path, v);
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
