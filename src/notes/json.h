// JSON lines for qbnote: --json output and the export/import format, one
// object a line:
//
//   {"path": "/home/ann/plan.txt", "note": "call Ann"}
//
// Notes and paths are bytes, not necessarily UTF-8, and must survive an
// export and import unchanged. Writing a string:
//   - valid UTF-8 sequences are written as they are, except the characters
//     below;
//   - '"' and '\' as \" and \\; \b \f \n \r \t as such; any other byte below
//     0x20, and 0x7F, as \u00XX;
//   - a byte that does not begin a valid UTF-8 sequence (a stray
//     continuation byte, a lead byte without its continuations, an overlong
//     form, an encoded surrogate, anything above U+10FFFF) as \uDCXX, XX
//     being the byte (0x80 to 0xFF): the lone low surrogates U+DC80 to
//     U+DCFF, which no valid UTF-8 text can hold, stand for raw bytes.
// Reading a string takes every JSON escape; a surrogate pair becomes its
// character in UTF-8; a lone \uDC80..\uDCFF becomes the raw byte XX; any
// other lone surrogate and \u0000 are refused. Bytes that stand unescaped
// in the input are kept as they are (they need not be UTF-8); an unescaped
// control character is refused, as JSON requires.
//
// Reading an object: whitespace may stand between tokens; members other than
// "path" and "note" are skipped whatever their value; both members must be
// there, be strings and appear once; nothing may follow the object.
#pragma once

#include <cstddef>
#include <string>

// `bytes` as a JSON string with its quotes.
std::string json_string(const std::string& bytes);

// {"path": ..., "note": ...} without a newline.
std::string json_note(const std::string& path, const std::string& note);

// Reads one line's object. 1, or -1 with *why saying what is wrong and where
// (a column counted from 1).
int json_read_note(const std::string& line, std::string* path, std::string* note, std::string* why);

// Length of the valid UTF-8 sequence at the start of `s` (n bytes left), or
// 0 when none begins there.
size_t utf8_sequence(const unsigned char* s, size_t n);
