// The registry file's text form and its in-memory model. Internal to
// platform/; registry.cpp is the only caller.
//
// registry.reg holds both hives in the REGEDIT4 text format:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Kestrin Software\Quibbet\Configuration]
//   "ShowIcon"=dword:00000001
//   "Integrate"=dword:00000001
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Kestrin Software\Quibbet\SaveAs]
//   "FileSpec"="C:\\Notes\\a \"quoted\" name"
//   @="the key's unnamed value"
//   "Settings"=hex:0c,00,02,00,2b,01,00,00,60,00,00,00
//   "Other"=hex(7):61,00,00
//
// Lines:
//   [<hive>\<path>]   starts a key; <hive> is HKEY_LOCAL_MACHINE or
//                     HKEY_CURRENT_USER; trailing backslashes are dropped
//   "<name>"=<data>   a value of the current key; @ names the unnamed value
//     "<text>"        REG_SZ. Escapes \\ and \" as REGEDIT4 has them, and
//                     also \n and \r, so that a string holding a line break
//                     stays on one line (our extension of the format)
//     dword:<hex>     REG_DWORD, one to eight hex digits (written as eight)
//     hex:<b>,<b>     REG_BINARY, two-digit hex bytes (may be empty)
//     hex(<t>):...    any other type t, bytes as for hex:
//   A line of a hex list may end in a backslash and go on on the next line,
//   unless that one is blank: a blank line ends a value.
//   ; ...             a comment
//   blank lines separate keys and carry nothing.
//
// Names of keys and of values compare ignoring the case of A to Z.
//
// What is not understood (a line that does not parse, data that does not fit
// its type, a key outside the two hives, a value before the first key) is
// reported once by the caller's reporter and kept verbatim, in its place,
// when the file is written again: nothing a person typed is ever lost by a
// program's write, and the entry simply does not exist for the registry
// calls. A key header that is not understood makes its whole block (the
// header and the lines up to the next header) such verbatim text.
// A key named twice is one key: its second block's values join the first
// block. A value named twice in one key keeps its first place and its last
// data. Comments are kept; blank lines are not (the writer puts one blank
// line after the header and after each key, and one after kept text whose
// last line ends in a backslash, so that what follows is not read as its
// continuation). A line ends at '\n', and a '\r' just before it belongs to
// the line end; kept text whose line ends in a '\r' of its own is written
// back with "\r\n", so that it reads back as the same text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <cstdint>

// The kinds of value the file holds, by the numbers the text format gives
// them ("hex(<n>):" names any other).
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;

struct RegValue {
  std::string name;  // "" for the unnamed value
  uint32_t type = REG_NONE;
  std::string data;  // REG_SZ: the text without terminator; else the bytes
};

// One line of a key's block: a value, or text kept verbatim.
struct RegLine {
  bool is_value = false;
  RegValue value;
  std::string raw;
};

struct RegSection {
  bool usable = true;  // false: a header that was not understood
  std::string name;    // usable: the full key path; else the header line as read
  std::vector<RegLine> lines;
};

struct RegDoc {
  std::vector<std::string> preamble;  // verbatim lines before the first key
  std::vector<RegSection> sections;
};

typedef void (*RegReporter)(const std::string& file, int line_no, const std::string& line);

// Parses `text`; each line not understood goes to `report` (may be null).
RegDoc reg_parse(const std::string& text, const std::string& file, RegReporter report);
std::string reg_format(const RegDoc& doc);
// The registry a fresh installation starts with.
RegDoc reg_defaults();

// ASCII case-insensitive equality, and "is `path` a key below `key`".
bool reg_same_name(const std::string& a, const std::string& b);
bool reg_is_below(const std::string& path, const std::string& key);

// Looks-ups in the model; null when absent.
RegSection* reg_find_section(RegDoc& doc, const std::string& key);
RegValue* reg_find_value(RegSection& s, const std::string& name);
// A key exists when it has a block of its own or a key below it does; the
// hives themselves always exist.
bool reg_key_exists(const RegDoc& doc, const std::string& key);
