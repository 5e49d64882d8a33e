// registry.reg and win.ini from arbitrary bytes, under the registry and
// profile calls the Monitor makes.
//
// Input:
//   byte 0       bit 0: the text is win.ini, else registry.reg
//   bytes 1..2   N, the text's length (least significant byte first)
//   N bytes      the file's text
//   the rest     a script of calls: key and value names, data, sizes
//
// The text is written as the file in a scratch state folder (QB_HOME) and
// the script's calls run on it. Nothing may crash or hang, and what a call
// stores must be what a later reader finds:
//   registry  the writer's text reads back as itself and keeps every value
//             it was given; a key path is refused exactly when no header
//             could hold it; a value set reads back at once with its type
//             and data, a value deleted is gone, a key created exists; and
//             read afresh from the file at the end, every value set or left
//             alone is there as it was, every value deleted is not.
//   win.ini   a key written reads back as the number its value spells, and
//             a key or section deleted reads as the default.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/registry_text.h"
#include "platform/state_dir.h"

namespace {

constexpr int kMaxCalls = 24;
constexpr size_t kMaxName = 24;

// Puts `text` in place of the state file `name` by rename: a new file is
// what tells the registry and profile code to read it again.
void put_file(const char* name, const std::string& text) {
  std::string path = qb_state_path(name);
  std::string fresh = path + ".fuzz";
  fz_write(fresh, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  fz_check(std::rename(fresh.c_str(), path.c_str()) == 0, "cannot put the file in place");
}

std::string read_state_file(const char* name) {
  std::string out;
  FILE* f = std::fopen(qb_state_path(name).c_str(), "rb");
  if (f == nullptr) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) out.append(buffer, n);
  std::fclose(f);
  return out;
}

// What a call taking a C string sees of `s`: up to its first zero byte.
std::string as_c(const std::string& s) { return s.substr(0, std::strlen(s.c_str())); }

// A C string from the script: up to `n` bytes, ending at a zero byte.
std::string c_text(FzBytes& in, size_t n) {
  return as_c(in.text(in.u8() % (n + 1)));
}

std::string fold(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// ---- registry.reg ------------------------------------------------------------

bool same_value(const RegValue& a, const RegValue& b) { return a.type == b.type && a.data == b.data; }

// Every value of every key of `from` is in `to` with the same type and data,
// except those `skip` names (folded "key\nvalue").
bool holds_all(RegDoc& to, const RegDoc& from, const std::map<std::string, std::optional<RegValue>>* skip) {
  for (const RegSection& s : from.sections) {
    if (!s.usable) continue;
    for (const RegLine& l : s.lines) {
      if (!l.is_value) continue;
      if (skip != nullptr && skip->count(fold(s.name + "\n" + l.value.name)) != 0) continue;
      RegSection* t = reg_find_section(to, s.name);
      const RegValue* v = t != nullptr ? reg_find_value(*t, l.value.name) : nullptr;
      if (v == nullptr || !same_value(*v, l.value)) return false;
    }
  }
  return true;
}

// A key as the calls name it: a hive and the path below it; `full` is the
// path the file's header gives it.
struct Key {
  RegHive hive;
  std::string sub;
  std::string full;
};

const char* hive_name(RegHive h) { return h == RegHive::kCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE"; }

// The header path the registry gives `sub` below `hive`; false when it
// refuses it (no header line could hold a line break; an empty component
// names no key).
bool join(RegHive hive, std::string sub, std::string* out) {
  if (sub.find_first_of("\r\n") != std::string::npos) return false;
  while (!sub.empty() && sub.back() == '\\') sub.pop_back();
  *out = hive_name(hive);
  if (sub.empty()) return true;
  if (sub.front() == '\\' || sub.find("\\\\") != std::string::npos) return false;
  *out += "\\" + sub;
  return true;
}

class RegistryRun {
 public:
  RegistryRun(const std::string& text, FzBytes& in) : in_(in) {
    original_ = reg_parse(text, "registry.reg", nullptr);
    for (const RegSection& s : original_.sections) {
      if (!s.usable) continue;
      names_.push_back(s.name);
      for (const RegLine& l : s.lines)
        if (l.is_value) values_.push_back(l.value.name);
    }
  }

  void go(const std::string& text) {
    // The text model alone: what the writer writes reads back as itself.
    std::string once = reg_format(original_);
    RegDoc again = reg_parse(once, "registry.reg", nullptr);
    fz_check(reg_format(again) == once, "the written registry text does not read back as itself");
    fz_check(holds_all(again, original_, nullptr), "writing the registry text lost a value");

    put_file("registry.reg", text);
    for (int n = 0; n < kMaxCalls && !in_.empty(); ++n) call();

    const std::string file = read_state_file("registry.reg");
    if (fz_verbose()) {
      std::fprintf(stderr, "registry.reg at the end:\n");
      std::fwrite(file.data(), 1, file.size(), stderr);
    }
    RegDoc now = reg_parse(file, "registry.reg", nullptr);
    for (const auto& [where, value] : expected_) {
      size_t cut = where.find('\n');
      RegSection* s = reg_find_section(now, where.substr(0, cut));
      const RegValue* v = s != nullptr ? reg_find_value(*s, where.substr(cut + 1)) : nullptr;
      if (value)
        fz_check(v != nullptr && same_value(*v, *value), "a value set is not in the file as it was set");
      else
        fz_check(v == nullptr, "a value deleted is still in the file");
    }
    for (const std::string& key : created_) fz_check(reg_key_exists(now, key), "a key created is not in the file");
    fz_check(holds_all(now, original_, &expected_), "a value nobody changed was lost from the file");
  }

 private:
  // A key of the file below the picked hive, or a made-up path.
  Key key() {
    uint8_t pick = in_.u8();
    Key k{(pick & 2) != 0 ? RegHive::kCurrentUser : RegHive::kLocalMachine, "", ""};
    const std::string hive = hive_name(k.hive);
    if (!names_.empty() && (pick & 1) != 0) {
      const std::string& name = names_[(pick >> 2) % names_.size()];
      if (name.size() > hive.size() + 1 && reg_same_name(name.substr(0, hive.size()), hive) && name[hive.size()] == '\\')
        k.sub = as_c(name.substr(hive.size() + 1));
    } else {
      k.sub = c_text(in_, 40);
    }
    return k;
  }
  std::string value_name() {
    uint8_t pick = in_.u8();
    if (!values_.empty() && (pick & 1) != 0) return as_c(values_[(pick >> 1) % values_.size()]);
    return c_text(in_, kMaxName);
  }

  // The value `name` of `k` as the two readers hand it out.
  std::optional<RegValue> query(const Key& k, const std::string& name) {
    uint32_t number = 0;
    std::string text;
    int as_number = reg_read_number(k.hive, k.sub.c_str(), name.c_str(), &number);
    int as_text = reg_read_string(k.hive, k.sub.c_str(), name.c_str(), &text);
    fz_check((as_number == ENOENT) == (as_text == ENOENT), "the two readers disagree on a value's presence");
    RegValue v;
    if (as_number == 0) {
      v.type = REG_DWORD;
      v.data.assign(reinterpret_cast<const char*>(&number), sizeof number);
    } else if (as_text == 0) {
      v.type = REG_SZ;
      v.data = text;
    } else {
      return std::nullopt;
    }
    return v;
  }

  // Whether the registry's answer `rc` on the key `k` agrees with the model
  // of its path; on success *full is the key's header path.
  static bool accepted(const Key& k, int rc, std::string* full) {
    const bool joins = join(k.hive, k.sub, full);
    fz_check(joins == (rc != EINVAL), "a key path is refused or accepted against the model of its header");
    return rc == 0;
  }

  void call() {
    switch (in_.u8() % 5) {
      case 0: {
        Key k = key();
        int rc = reg_create_key(k.hive, k.sub.c_str());
        if (fz_verbose()) std::fprintf(stderr, "create \"%s\": %d\n", k.sub.c_str(), rc);
        if (accepted(k, rc, &k.full)) created_.push_back(k.full);
        return;
      }
      case 1: {
        Key k = key();
        (void)query(k, value_name());
        return;
      }
      case 2:
      case 3: {
        Key k = key();
        std::string name = value_name();
        RegValue v;
        int rc;
        if (in_.u8() & 1) {
          uint32_t number = static_cast<uint32_t>(in_.i32());
          v.type = REG_DWORD;
          v.data.assign(reinterpret_cast<const char*>(&number), sizeof number);
          rc = reg_write_number(k.hive, k.sub.c_str(), name.c_str(), number);
        } else {
          std::string text = in_.text(in_.u8() % 41);
          v.type = REG_SZ;
          v.data = as_c(text);  // stored up to its first zero byte
          rc = reg_write_string(k.hive, k.sub.c_str(), name.c_str(), text);
        }
        if (fz_verbose()) std::fprintf(stderr, "set \"%s\" of \"%s\": %d\n", name.c_str(), k.sub.c_str(), rc);
        if (!accepted(k, rc, &k.full)) return;
        std::optional<RegValue> back = query(k, name);
        fz_check(back && same_value(*back, v), "a value set does not read back as set");
        expected_[fold(k.full + "\n" + name)] = v;
        return;
      }
      default: {
        Key k = key();
        std::string name = value_name();
        int rc = reg_delete_value(k.hive, k.sub.c_str(), name.c_str());
        if (fz_verbose()) std::fprintf(stderr, "delete \"%s\" of \"%s\": %d\n", name.c_str(), k.sub.c_str(), rc);
        if (!accepted(k, rc, &k.full)) return;
        fz_check(!query(k, name), "a value deleted still reads");
        expected_[fold(k.full + "\n" + name)] = std::nullopt;
        return;
      }
    }
  }

  FzBytes& in_;
  RegDoc original_;
  std::vector<std::string> names_, values_;
  std::vector<std::string> created_;
  std::map<std::string, std::optional<RegValue>> expected_;  // folded "key\nvalue"; nullopt: deleted
};

// ---- win.ini -------------------------------------------------------------------

// What profile_read_number makes of a stored value: blanks around it dropped, an
// optional sign, the leading digits; negative gives 0, nothing the default.
unsigned number_of(const std::string& value, unsigned default_value) {
  size_t b = value.find_first_not_of(" \t\r");
  if (b == std::string::npos) return default_value;
  size_t e = value.find_last_not_of(" \t\r");
  std::string v = value.substr(b, e - b + 1);
  size_t i = v[0] == '-' || v[0] == '+' ? 1 : 0;
  unsigned n = 0;
  for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) n = n * 10 + static_cast<unsigned>(v[i] - '0');
  return v[0] == '-' ? 0 : n;
}

class ProfileRun {
 public:
  ProfileRun(const std::string& text, FzBytes& in) : in_(in) {
    // Names to call with: those the text seems to hold, found roughly.
    for (size_t at = 0; at < text.size();) {
      size_t nl = text.find('\n', at);
      if (nl == std::string::npos) nl = text.size();
      std::string line = text.substr(at, nl - at);
      at = nl + 1;
      size_t open = line.find('['), close = line.find(']');
      size_t eq = line.find('=');
      if (open != std::string::npos && close != std::string::npos && open < close)
        sections_.push_back(line.substr(open + 1, close - open - 1));
      else if (eq != std::string::npos && eq > 0)
        keys_.push_back(line.substr(0, eq));
    }
  }

  void go(const std::string& text) {
    put_file("win.ini", text);
    for (int n = 0; n < kMaxCalls && !in_.empty(); ++n) call();
  }

 private:
  std::string pick(const std::vector<std::string>& from) {
    uint8_t p = in_.u8();
    if (!from.empty() && (p & 1) != 0) return as_c(from[(p >> 1) % from.size()]);
    return c_text(in_, kMaxName);
  }

  void call() {
    std::string section = pick(sections_), key = pick(keys_);
    const char* s = section.c_str();
    const char* k = key.c_str();
    switch (in_.u8() % 4) {
      case 0:
        (void)profile_read_number(s, k, static_cast<unsigned>(in_.i32()));
        return;
      case 1: {
        std::string value = c_text(in_, kMaxName);
        if (profile_write(s, k, value.c_str()) == 0)
          fz_check(profile_read_number(s, k, 7) == number_of(value, 7), "a key written does not read back");
        return;
      }
      case 2:
        if (profile_write(s, k, nullptr) == 0) fz_check(profile_read_number(s, k, 7) == 7, "a key deleted still reads");
        return;
      default:
        if (profile_write(s, nullptr, nullptr) == 0) {
          keys_.push_back(key);
          for (const std::string& any : keys_)
            fz_check(profile_read_number(s, any.c_str(), 7) == 7, "a key of a deleted section still reads");
          keys_.pop_back();
        }
        return;
    }
  }

  FzBytes& in_;
  std::vector<std::string> sections_, keys_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_check(::setenv("QB_HOME", (fz_dir() + "/state").c_str(), 1) == 0, "cannot set QB_HOME");
  fz_check(!qb_state_dir().empty(), "cannot make the state folder");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FzBytes in(data, size);
  const bool ini = (in.u8() & 1) != 0;
  std::string text = in.text(in.u16());
  if (ini) {
    ProfileRun run(text, in);
    run.go(text);
  } else {
    RegistryRun run(text, in);
    run.go(text);
  }
  return 0;
}
