// The "FileSpec" hand-shake: a one-shot path prefix that another program
// leaves in the registry before it saves a file by deleting and re-creating
// it, so that the note of the file it names follows the save.
//
//   HKEY_LOCAL_MACHINE "SOFTWARE\Kestrin Software\Quibbet\SaveAs"
//     "FileSpec"  a string, at most 259 characters: a full path or a prefix
//
// Each OP_DELETE and OP_CREATE takes the value when there is one: it is read
// and written back empty (on disk at once) whether or not it matches; no
// other event touches it. Then the note of FileSpec itself is looked up in notesTable,
// which leaves notesTable positioned on it when found. A path matches when
// that note was found and the path begins with FileSpec, the letters A to Z
// compared ignoring case ("D:/Docs/Plan" matches "d:/docs/plan.txt").
//
// Callers: DoResponse only, with the table mutex held (table_guard.h).
#pragma once

constexpr int kFileSpecSize = 260;  // 259 characters and the terminator

extern const char kSaveAsKeyPath[];  // "SOFTWARE\Kestrin Software\Quibbet\SaveAs"
extern const char kFileSpecValue[];  // "FileSpec"

struct FileSpec {
  char text[kFileSpecSize];  // "" when the key or value cannot be read
  bool found;                // the note of `text` was found in notesTable
};

// Reads "FileSpec" into text (kFileSpecSize bytes, always terminated) and
// empties it. 1 when the value was there, 0 when it (or its key) is missing
// or cannot be read (text is then "", and nothing is written). A value that
// does not fit in 259 characters, or is no string, is taken and not used:
// text stays "", and for the long one a "SKIPPED (too long)" line is traced.
int takeFileSpecValue(char* text);

// The whole hand-shake: takeFileSpecValue, then (when it gave 1) the
// trace "SaveAs contains %s\n", the look-up of FileSpec in notesTable and
// the trace "Result for findKey,%s = %d\n".
void takeFileSpec(FileSpec* spec);

// Whether `path` matches `spec` (see above).
bool fileSpecMatches(const FileSpec& spec, const char* path);
