// Writing and reading qbnote's JSON lines (see json.h).
#include "notes/json.h"

#include <cstdio>

namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

void append_u(std::string* out, unsigned code) {
  char text[8];
  std::snprintf(text, sizeof text, "\\u%04x", code);
  *out += text;
}

void append_utf8(std::string* out, unsigned code) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A reader over one line; `at` is the next byte.
struct Reader {
  explicit Reader(const std::string& line) : s(line) {}
  const std::string& s;
  size_t at = 0;
  std::string why;

  int fail(const char* what) {
    char where[32];
    std::snprintf(where, sizeof where, " at column %zu", at + 1);
    why = std::string(what) + where;
    return -1;
  }
  void blanks() {
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\r' || s[at] == '\n')) ++at;
  }
  bool next_is(char c) {
    blanks();
    return at < s.size() && s[at] == c;
  }
  int expect(char c, const char* what) {
    if (!next_is(c)) return fail(what);
    ++at;
    return 1;
  }

  // Four hex digits after "\u".
  int hex4(unsigned* code) {
    if (at + 4 > s.size()) return fail("a \\u escape needs four hex digits");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s[at + i];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else return fail("a \\u escape needs four hex digits");
    }
    at += 4;
    *code = v;
    return 1;
  }

  // The \u escape whose "\u" was just read.
  int unicode(std::string* out) {
    unsigned code = 0;
    if (hex4(&code) != 1) return -1;
    if (code == 0) return fail("\\u0000: a path or note cannot hold a NUL character");
    if (code >= 0xD800 && code <= 0xDBFF) {
      unsigned low = 0;
      if (at + 2 <= s.size() && s[at] == '\\' && s[at + 1] == 'u') {
        at += 2;
        if (hex4(&low) != 1) return -1;
        if (low < 0xDC00 || low > 0xDFFF) return fail("a high surrogate without its low surrogate");
        append_utf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
        return 1;
      }
      return fail("a high surrogate without its low surrogate");
    }
    if (code >= 0xDC80 && code <= 0xDCFF) {
      *out += static_cast<char>(code & 0xFF);  // a raw byte (json.h)
      return 1;
    }
    if (code >= 0xDC00 && code <= 0xDFFF) return fail("a lone low surrogate outside \\udc80..\\udcff");
    append_utf8(out, code);
    return 1;
  }

  int string(std::string* out) {
    if (expect('"', "a string was expected") != 1) return -1;
    out->clear();
    for (;;) {
      if (at >= s.size()) return fail("the string has no closing quote");
      unsigned char c = static_cast<unsigned char>(s[at]);
      if (c == '"') {
        ++at;
        return 1;
      }
      if (c < 0x20) return fail("a control character must be escaped");
      if (c != '\\') {
        *out += static_cast<char>(c);
        ++at;
        continue;
      }
      if (++at >= s.size()) return fail("the string has no closing quote");
      char e = s[at++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u':
          if (unicode(out) != 1) return -1;
          break;
        default:
          --at;
          return fail("an unknown escape");
      }
    }
  }

  // Skips any JSON value (a member qbnote does not use).
  int skip_value(int depth) {
    if (depth > 64) return fail("values are nested too deeply");
    blanks();
    if (at >= s.size()) return fail("a value was expected");
    char c = s[at];
    if (c == '"') {
      std::string ignored;
      return string(&ignored);
    }
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++at;
      if (next_is(close)) {
        ++at;
        return 1;
      }
      for (;;) {
        if (c == '{') {
          std::string ignored;
          if (string(&ignored) != 1 || expect(':', "':' was expected") != 1) return -1;
        }
        if (skip_value(depth + 1) != 1) return -1;
        if (next_is(',')) {
          ++at;
          continue;
        }
        return expect(close, c == '{' ? "',' or '}' was expected" : "',' or ']' was expected");
      }
    }
    for (const char* word : {"true", "false", "null"}) {
      std::string w(word);
      if (s.compare(at, w.size(), w) == 0) {
        at += w.size();
        return 1;
      }
    }
    size_t start = at;
    if (at < s.size() && s[at] == '-') ++at;
    while (at < s.size() && ((s[at] >= '0' && s[at] <= '9') || s[at] == '.' || s[at] == 'e' || s[at] == 'E' ||
                             s[at] == '+' || s[at] == '-'))
      ++at;
    if (at == start || (at == start + 1 && s[start] == '-')) return fail("a value was expected");
    return 1;
  }
};

}  // namespace

size_t utf8_sequence(const unsigned char* s, size_t n) {
  if (n == 0) return 0;
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // no overlong forms
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // no overlong forms
    if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (n < length || s[1] < low || s[1] > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (!continuation(s[i])) return 0;
  return length;
}

std::string json_string(const std::string& bytes) {
  std::string out = "\"";
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c >= 0x80) {
      size_t length = utf8_sequence(s + i, n - i);
      if (length == 0) {
        append_u(&out, 0xDC00 | c);
        ++i;
      } else {
        out.append(bytes, i, length);
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) append_u(&out, c);
        else out += static_cast<char>(c);
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string json_note(const std::string& path, const std::string& note) {
  return "{\"path\": " + json_string(path) + ", \"note\": " + json_string(note) + "}";
}

int json_read_note(const std::string& line, std::string* path, std::string* note, std::string* why) {
  Reader r(line);
  bool have_path = false, have_note = false;
  int rc = r.expect('{', "an object was expected");
  if (rc == 1 && r.next_is('}')) {
    ++r.at;
  } else {
    while (rc == 1) {
      std::string name;
      if (r.string(&name) != 1 || r.expect(':', "':' was expected") != 1) {
        rc = -1;
        break;
      }
      const size_t member_at = r.at;
      if (name == "path" || name == "note") {
        bool& have = name == "path" ? have_path : have_note;
        if (have) {
          r.at = member_at;
          rc = r.fail(name == "path" ? "\"path\" is given twice" : "\"note\" is given twice");
          break;
        }
        r.blanks();
        if (r.at >= line.size() || line[r.at] != '"') {
          rc = r.fail(name == "path" ? "\"path\" must be a string" : "\"note\" must be a string");
          break;
        }
        if (r.string(name == "path" ? path : note) != 1) {
          rc = -1;
          break;
        }
        have = true;
      } else if (r.skip_value(0) != 1) {
        rc = -1;
        break;
      }
      if (r.next_is(',')) {
        ++r.at;
        continue;
      }
      rc = r.expect('}', "',' or '}' was expected");
      break;
    }
  }
  if (rc == 1) {
    r.blanks();
    if (r.at != line.size()) rc = r.fail("text follows the object");
  }
  if (rc == 1 && (!have_path || !have_note)) {
    r.why = !have_path ? "the member \"path\" is missing" : "the member \"note\" is missing";
    rc = -1;
  }
  if (rc != 1) *why = r.why;
  return rc;
}
