#include "platform/registry_text.h"

#include <algorithm>
#include <cstdio>

static const char kDefaultText[] =
    "REGEDIT4\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\Configuration]\n"
    "\"ShowIcon\"=dword:00000001\n"
    "\"Integrate\"=dword:00000001\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\Status]\n"
    "\"status\"=dword:00000000\n";

static char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool reg_same_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

bool reg_is_below(const std::string& path, const std::string& key) {
  return path.size() > key.size() + 1 && path[key.size()] == '\\' &&
         reg_same_name(path.substr(0, key.size()), key);
}

static bool starts_with_ci(const std::string& s, size_t at, const char* prefix) {
  for (size_t k = 0; prefix[k] != '\0'; ++k)
    if (at + k >= s.size() || fold(s[at + k]) != fold(prefix[k])) return false;
  return true;
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = fold(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

static std::string rtrim(const std::string& s) {
  size_t n = s.size();
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r')) --n;
  return s.substr(0, n);
}

static bool is_blank(const std::string& line) { return rtrim(line).find_first_not_of(" \t") == std::string::npos; }

// Whether kept text ends in a continuation backslash that found no line to
// go on with. Written back, such text is followed by a blank line, or the
// next line written would read as its continuation.
static bool ends_open(const std::string& raw) {
  std::string last = rtrim(raw.substr(raw.rfind('\n') + 1));
  return !last.empty() && last.back() == '\\';
}

static void skip_blanks(const std::string& s, size_t& i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
}

// A quoted string starting at s[i]; i ends just past the closing quote.
static bool parse_quoted(const std::string& s, size_t& i, std::string* out) {
  if (i >= s.size() || s[i] != '"') return false;
  out->clear();
  for (++i; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      ++i;
      return true;
    }
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i >= s.size()) return false;
    switch (s[i]) {
      case '\\': out->push_back('\\'); break;
      case '"': out->push_back('"'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      default: return false;
    }
  }
  return false;
}

// Comma-separated hex bytes up to the end of s (blanks allowed around them).
static bool parse_hex_list(const std::string& s, size_t i, std::string* out) {
  out->clear();
  skip_blanks(s, i);
  if (i == s.size()) return true;
  for (;;) {
    skip_blanks(s, i);
    int hi = i < s.size() ? hex_digit(s[i]) : -1;
    int lo = i + 1 < s.size() ? hex_digit(s[i + 1]) : -1;
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
    skip_blanks(s, i);
    if (i == s.size()) return true;
    if (s[i++] != ',') return false;
  }
}

static bool parse_value(const std::string& s, RegValue* v) {
  size_t i = 0;
  if (s.empty()) return false;
  if (s[0] == '@') {
    v->name.clear();
    i = 1;
  } else if (!parse_quoted(s, i, &v->name)) {
    return false;
  }
  skip_blanks(s, i);
  if (i >= s.size() || s[i++] != '=') return false;
  skip_blanks(s, i);
  if (i < s.size() && s[i] == '"') {
    v->type = REG_SZ;
    if (!parse_quoted(s, i, &v->data)) return false;
    skip_blanks(s, i);
    return i == s.size();
  }
  if (starts_with_ci(s, i, "dword:")) {
    i += 6;
    uint32_t n = 0;
    size_t digits = 0;
    for (; i < s.size() && hex_digit(s[i]) >= 0; ++i, ++digits) n = n * 16 + static_cast<uint32_t>(hex_digit(s[i]));
    skip_blanks(s, i);
    if (digits == 0 || digits > 8 || i != s.size()) return false;
    v->type = REG_DWORD;
    v->data.assign(reinterpret_cast<const char*>(&n), 4);  // host order, as RegQueryValueExA hands it out
    return true;
  }
  if (starts_with_ci(s, i, "hex:")) {
    v->type = REG_BINARY;
    return parse_hex_list(s, i + 4, &v->data);
  }
  if (starts_with_ci(s, i, "hex(")) {
    i += 4;
    uint32_t t = 0;
    size_t digits = 0;
    for (; i < s.size() && hex_digit(s[i]) >= 0; ++i, ++digits) t = t * 16 + static_cast<uint32_t>(hex_digit(s[i]));
    if (digits == 0 || digits > 8 || !starts_with_ci(s, i, "):")) return false;
    v->type = t;
    return parse_hex_list(s, i + 2, &v->data);
  }
  return false;
}

// "[name]" -> the key path without trailing backslashes, or false.
static bool parse_header(const std::string& line, std::string* name) {
  std::string s = rtrim(line);
  if (s.size() < 2 || s.front() != '[' || s.back() != ']') return false;
  std::string n = s.substr(1, s.size() - 2);
  while (!n.empty() && n.back() == '\\') n.pop_back();
  size_t first = n.find('\\');
  std::string hive = n.substr(0, first);
  if (!reg_same_name(hive, "HKEY_LOCAL_MACHINE") && !reg_same_name(hive, "HKEY_CURRENT_USER")) return false;
  if (n.find("\\\\") != std::string::npos) return false;  // an empty key name
  *name = n;
  return true;
}

RegSection* reg_find_section(RegDoc& doc, const std::string& key) {
  for (RegSection& s : doc.sections)
    if (s.usable && reg_same_name(s.name, key)) return &s;
  return nullptr;
}

RegValue* reg_find_value(RegSection& s, const std::string& name) {
  for (RegLine& l : s.lines)
    if (l.is_value && reg_same_name(l.value.name, name)) return &l.value;
  return nullptr;
}

bool reg_key_exists(const RegDoc& doc, const std::string& key) {
  if (key.find('\\') == std::string::npos) return true;  // a hive
  for (const RegSection& s : doc.sections)
    if (s.usable && (reg_same_name(s.name, key) || reg_is_below(s.name, key))) return true;
  return false;
}

RegDoc reg_parse(const std::string& text, const std::string& file, RegReporter report) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string l = text.substr(at, nl - at);
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
    at = nl + 1;
  }
  RegDoc doc;
  RegSection* cur = nullptr;  // null: before the first key
  auto bad = [&](int no, const std::string& l) {
    if (report != nullptr) report(file, no, l);
  };
  auto keep_raw = [&](const std::string& l) {
    if (cur == nullptr) {
      doc.preamble.push_back(l);
    } else {
      RegLine r;
      r.raw = l;
      cur->lines.push_back(r);
    }
  };
  for (size_t k = 0; k < lines.size(); ++k) {
    int no = static_cast<int>(k) + 1;
    std::string line = lines[k];
    if (k == 0) {
      if (rtrim(line) == "REGEDIT4") continue;
      bad(no, line);  // no header; the line is then read as any other
    }
    std::string t = rtrim(line);
    size_t lead = t.find_first_not_of(" \t");
    if (lead == std::string::npos) continue;  // blank
    if (t[lead] == ';') {
      keep_raw(line);
      continue;
    }
    if (t[lead] == '[') {
      std::string name;
      if (parse_header(t.substr(lead), &name)) {
        cur = reg_find_section(doc, name);
        if (cur == nullptr) {
          doc.sections.push_back(RegSection{true, name, {}});
          cur = &doc.sections.back();
        }
      } else {
        bad(no, line);
        doc.sections.push_back(RegSection{false, line, {}});
        cur = &doc.sections.back();
      }
      continue;
    }
    // A value, joined with its continuation lines.
    std::string raw = line, joined = t.substr(lead);
    // A blank line ends a value: the writer relies on it (ends_open below).
    while (!joined.empty() && joined.back() == '\\' && k + 1 < lines.size() && !is_blank(lines[k + 1])) {
      ++k;
      raw += "\n" + lines[k];
      std::string next = rtrim(lines[k]);
      joined.pop_back();
      joined += next.substr(next.find_first_not_of(" \t"));
    }
    RegValue v;
    if (cur == nullptr || !cur->usable || !parse_value(joined, &v)) {
      if (cur == nullptr || cur->usable) bad(no, raw);
      keep_raw(raw);
      continue;
    }
    if (RegValue* old = reg_find_value(*cur, v.name)) {
      old->type = v.type;
      old->data = v.data;
    } else {
      RegLine l;
      l.is_value = true;
      l.value = v;
      cur->lines.push_back(l);
    }
  }
  return doc;
}

static std::string quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  return out + "\"";
}

static std::string format_value(const RegValue& v) {
  std::string out = v.name.empty() ? "@" : quote(v.name);
  out += "=";
  char buf[32];
  if (v.type == REG_SZ) return out + quote(v.data);
  if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t n;
    v.data.copy(reinterpret_cast<char*>(&n), 4);
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    return out + buf;
  }
  if (v.type == REG_BINARY) {
    out += "hex:";
  } else {
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    out += buf;
  }
  for (size_t i = 0; i < v.data.size(); ++i) {
    std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : ",%02x", static_cast<unsigned char>(v.data[i]));
    out += buf;
  }
  return out;
}

// Appends kept text and its line end. The reader takes one '\r' before a
// line end as part of it, so a line of the text that itself ends in '\r' is
// ended with "\r\n": read back, it is again the text as kept.
static void put_kept(std::string& out, const std::string& raw) {
  for (size_t at = 0;;) {
    size_t nl = raw.find('\n', at);
    std::string line = raw.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    out += line;
    if (!line.empty() && line.back() == '\r') out += '\r';
    out += '\n';
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  if (ends_open(raw)) out += '\n';
}

std::string reg_format(const RegDoc& doc) {
  std::string out = "REGEDIT4\n\n";
  for (const std::string& l : doc.preamble) put_kept(out, l);
  if (!doc.preamble.empty()) out += "\n";
  for (const RegSection& s : doc.sections) {
    if (s.usable)
      out += "[" + s.name + "]\n";
    else
      put_kept(out, s.name);
    for (const RegLine& l : s.lines) {
      if (l.is_value)
        out += format_value(l.value) + "\n";
      else
        put_kept(out, l.raw);
    }
    out += "\n";
  }
  return out;
}

RegDoc reg_defaults() { return reg_parse(kDefaultText, "", nullptr); }
