// Text for a person's terminal: paths and notes are bytes anyone may have
// chosen, and a control character among them (ESC[2J clears the screen,
// others retitle the window or move the cursor) must reach the terminal as
// something to read, not as a command. Output to a pipe or a file is left
// as stored, byte for byte.
//
// The escapes are those of `ls -b`: a C0 control (0x00-0x1f), DEL (0x7f)
// and a UTF-8 coded C1 control (0xc2 0x80-0x9f) become a backslash and
// three octal digits per byte ("\033"), and a backslash is doubled, so
// every escaped text reads back to one text only.
#include <cstdio>
#include <unistd.h>

#include "notes/notes.h"

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::string term_text(const std::string& s, bool keep_lines) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const bool c1 = c == 0xc2 && i + 1 < s.size() && (static_cast<unsigned char>(s[i + 1]) & 0xe0) == 0x80;
    const bool control = (c < 0x20 && !(keep_lines && (c == '\n' || c == '\t'))) || c == 0x7f;
    if (c == '\\') {
      out += "\\\\";
    } else if (control || c1) {
      for (size_t n = c1 ? 2 : 1; n > 0; --n, ++i) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(s[i]));
        out += octal;
      }
      --i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
