// Writes the seed corpora of the fuzz targets: sound index files and tables
// built by the engine itself, registry and profile texts, event records,
// each followed by a script in the target's own encoding, so that the
// fuzzers start from inputs that reach deep into the code.
//
//   make_seeds <folder>   writes <folder>/<target>/<seed> (the committed
//                         corpora live in fuzz/corpus/)
//
// Deterministic: the same program writes the same bytes.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "engine/engine.h"
#include "fuzz_support.h"
#include "records/records.h"
#include "event/file_event.h"

namespace {

using Bytes = std::string;

std::string g_out;

void put_u16(Bytes& b, size_t v) {
  fz_check(v <= 0xFFFF, "a seed part is too long for its length field");
  b.push_back(static_cast<char>(v & 0xFF));
  b.push_back(static_cast<char>(v >> 8));
}

Bytes read_all(const std::string& path) {
  Bytes out;
  FILE* f = std::fopen(path.c_str(), "rb");
  fz_check(f != nullptr, "cannot read a built file");
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) out.append(buffer, n);
  std::fclose(f);
  return out;
}

void seed(const char* target, const char* name, const Bytes& bytes) {
  std::string dir = g_out + "/" + target;
  ::mkdir(g_out.c_str(), 0755);
  ::mkdir(dir.c_str(), 0755);
  fz_write(dir + "/" + name, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// ---- index_fuzz ------------------------------------------------------------------

// An operation of index_fuzz's script (see run_op there).
enum IxOp { kFind = 0, kSeek = 1, kStep = 2, kLast = 4, kCurrent = 5, kInsert = 6, kDelete = 7, kReplace = 8,
            kVerify = 9, kFlush = 10, kReopen = 11 };

struct IxScript {
  Bytes b;
  void entry(const std::string& key, int8_t ref) {
    b.push_back(static_cast<char>(key.size()));
    b += key;
    b.push_back(static_cast<char>(ref));
  }
  void op(IxOp o) { b.push_back(static_cast<char>(o)); }
  void find(const std::string& k) { op(kFind), entry(k, 0); }
  void seek(const std::string& k, int8_t r) { op(kSeek), entry(k, r); }
  void step(bool forward, int n) {
    op(kStep);
    b.push_back(forward ? 0 : 1);
    b.push_back(static_cast<char>(n - 1));
  }
  void insert(const std::string& k, int8_t r, bool dup) {
    op(kInsert), entry(k, r);
    b.push_back(dup ? 1 : 0);
  }
  void erase(const std::string& k, int8_t r) { op(kDelete), entry(k, r); }
  void replace(const std::string& ok, int8_t orf, const std::string& nk, int8_t nr) {
    op(kReplace), entry(ok, orf);
    b.push_back(0);  // the old pair as given, not one of the tree's
    entry(nk, nr);
    b.push_back(0);
  }
};

std::string key_of(const char* prefix, int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%03d", prefix, i);
  return buf;
}

IndexHandle* new_index(const std::string& path, int page_size) {
  ::remove(path.c_str());
  IndexHandle* h = ix_create(path.c_str(), nullptr, page_size);
  fz_check(h != nullptr, "ix_create failed");
  return h;
}

void index_seed(const char* name, IndexHandle* h, const std::string& path, bool shared, const IxScript& s) {
  fz_check(ix_close(h) == 1, "ix_close failed");
  Bytes file = read_all(path);
  Bytes b(1, shared ? 1 : 0);
  put_u16(b, file.size());
  seed("index_fuzz", name, b + file + s.b);
}

void index_seeds() {
  const std::string path = fz_path("seed.idx");
  {  // Several levels of small pages.
    IndexHandle* h = new_index(path, 92);
    for (int i = 0; i < 120; ++i) fz_check(ix_insert(h, (const uint8_t*)key_of("k", i).c_str(), 4, i, 0) == 1, "insert");
    IxScript s;
    s.find("k050");
    s.step(true, 16);
    s.step(false, 5);
    s.insert("k050", 7, true);
    s.insert("K050", 9, false);
    s.erase("k051", 51);
    s.replace("k052", 52, "a000", -3);
    s.seek("k060", 60);
    s.op(kLast);
    s.op(kCurrent);
    s.b.push_back(10);
    s.op(kVerify);
    s.b.push_back(5);
    s.op(kReopen);
    s.find("");
    s.step(true, 16);
    index_seed("small_pages", h, path, false, s);
  }
  {  // Duplicate keys of mixed case, negative refs, freed pages.
    IndexHandle* h = new_index(path, 128);
    for (int i = 0; i < 60; ++i) {
      std::string k = key_of(i % 2 ? "Dup" : "dup", i % 7);
      fz_check(ix_insert(h, (const uint8_t*)k.c_str(), (int)k.size(), i - 30, 1) == 1, "insert");
    }
    for (int i = 0; i < 40; i += 2) {
      std::string k = key_of(i % 2 ? "Dup" : "dup", i % 7);
      fz_check(ix_delete(h, (const uint8_t*)k.c_str(), (int)k.size(), i - 30) == 1, "delete");
    }
    IxScript s;
    s.find("DUP003");
    s.step(true, 8);
    s.insert("dup003", -1, true);
    s.insert("dup003", -1, true);
    s.erase("dup004", 100);
    s.replace("dup005", -25, "dup005", -26);
    s.op(kFlush);
    s.op(kLast);
    s.step(false, 16);
    index_seed("duplicates", h, path, true, s);
  }
  {  // One leaf.
    IndexHandle* h = new_index(path, 512);
    for (int i = 0; i < 8; ++i) fz_check(ix_insert(h, (const uint8_t*)key_of("leaf", i).c_str(), 7, i, 0) == 1, "insert");
    IxScript s;
    for (int i = 0; i < 10; ++i) s.insert(key_of("new", i), static_cast<int8_t>(i), false);
    s.erase("leaf003", 3);
    s.find("new");
    s.step(true, 12);
    index_seed("one_leaf", h, path, false, s);
  }
  {  // An empty tree, filled and emptied by the script.
    IndexHandle* h = new_index(path, 256);
    IxScript s;
    s.op(kLast);
    s.erase("x", 1);
    for (int i = 0; i < 30; ++i) s.insert(key_of("grow", i), static_cast<int8_t>(i), false);
    for (int i = 0; i < 30; i += 3) s.erase(key_of("grow", i), static_cast<int8_t>(i));
    s.op(kVerify);
    s.b.push_back(3);
    index_seed("empty", h, path, false, s);
  }
}

// ---- table_fuzz ------------------------------------------------------------------

// A record's or search's values in table_fuzz's encoding: one pick byte per
// field (low three bits 0: absent), then a text's bytes (pick % 41 of them)
// or the field's stored bytes.
struct TbValues {
  Bytes b;
  void text(const std::string& s) {
    fz_check(s.size() <= 40, "a seed text is too long");
    size_t pick = s.size();
    while ((pick & 7) == 0) pick += 41;  // a pick whose low bits are 0 means absent
    b.push_back(static_cast<char>(pick));
    b += s;
  }
  void absent() { b.push_back(0); }
  void number(const void* p, size_t n) {
    b.push_back(1);
    b.append(static_cast<const char*>(p), n);
  }
};

Table* new_table(const std::string& base, std::vector<const char*> fields) {
  (void)tb_delete_table(base.c_str());
  fields.push_back(nullptr);
  Table* t = tb_create(base.c_str(), 512, fields.data());
  fz_check(t != nullptr, "tb_create failed");
  return t;
}

void add_index(Table* t, const char* name, std::vector<const char*> specs) {
  specs.push_back(nullptr);
  fz_check(tb_create_index(t, name, specs.data()) == 1, "tb_create_index failed");
}

void table_seed(const char* name, Table* t, const std::string& base, const Bytes& script) {
  fz_check(tb_close(t) == 1, "tb_close failed");
  Bytes data = read_all(base + ".db"), index = read_all(base + ".idx");
  Bytes b;
  put_u16(b, data.size());
  b += data;
  put_u16(b, index.size());
  b += index;
  seed("table_fuzz", name, b + script);
}

// table_fuzz's operations: index pick byte, operation byte, its values.
Bytes tb_op(int index, int op, const Bytes& values = "") {
  Bytes b;
  b.push_back(static_cast<char>(index));
  b.push_back(static_cast<char>(op));
  return b + values;
}

void table_seeds() {
  const std::string base = fz_path("seed");
  {  // The notes layout, with free blocks left by deletes.
    Table* t = new_table(base, {"Path", "Remark"});
    add_index(t, "INDX_Path,U", {"Path"});
    TableIndex* phys = tb_physical_index(t);
    for (int i = 0; i < 12; ++i) {
      std::string path = "/home/user/" + key_of("file", i), remark = std::string(static_cast<size_t>(i * 3), 'r');
      const void* values[] = {path.c_str(), remark.c_str()};
      fz_check(tb_add_record(t, phys, values) == 1, "tb_add_record failed");
    }
    int n = 0;
    for (int rc = tb_first_record(t, phys); rc == 1; rc = tb_next_record(t, phys))
      if (n++ % 4 == 1) fz_check(tb_delete_record(t, phys) == 1, "tb_delete_record failed");
    TbValues find, add, update;
    find.text("/home/user/file006");
    find.text("");
    add.text("/home/user/new");
    add.text("a remark of some length");
    update.text("/home/user/file002");
    update.text("changed");
    Bytes script = tb_op(0, 1, find.b) + tb_op(0, 2) + tb_op(0, 3, update.b) + tb_op(1, 5, add.b) + tb_op(0, 4) +
                   tb_op(1, 0) + Bytes(1, 20) + tb_op(0, 6) + tb_op(1, 7);
    table_seed("notes", t, base, script);
  }
  {  // Every field type, two keyed indexes, one on a length part.
    Table* t = new_table(base, {"Name", "Size,L", "Count,I", "Ratio,D", "Tag,B6", "Exact,C", "Word,U", "Real,F"});
    add_index(t, "ByName", {"Name:3"});
    add_index(t, "BySize,U", {"Size,L", "Exact,C"});
    TableIndex* phys = tb_physical_index(t);
    for (int i = 0; i < 10; ++i) {
      std::string name = key_of("name", i % 4), exact = key_of("X", i);
      int32_t size = i * 1000 - 3000;
      int16_t count = static_cast<int16_t>(i);
      double ratio = i / 3.0;
      char tag[6] = {'t', 'a', 'g', static_cast<char>('0' + i), 0, 1};
      uint16_t word = static_cast<uint16_t>(60000 + i);
      float real = static_cast<float>(i) * 0.5f;
      const void* values[] = {name.c_str(), &size, &count, &ratio, tag, exact.c_str(), &word, &real};
      fz_check(tb_add_record(t, phys, values) == 1, "tb_add_record failed");
    }
    TbValues v;
    int32_t size = 2000;
    int16_t count = 5;
    double ratio = 1.5;
    uint16_t word = 7;
    float real = 2.5f;
    v.text("name002");
    v.number(&size, 4);
    v.number(&count, 2);
    v.number(&ratio, 8);
    v.number("abcdef", 6);
    v.text("X004");
    v.number(&word, 2);
    v.number(&real, 4);
    Bytes script = tb_op(0, 0) + Bytes(1, 30) + tb_op(1, 1, v.b) + tb_op(1, 3, v.b) + tb_op(2, 1, v.b) +
                   tb_op(2, 5, v.b) + tb_op(2, 4) + tb_op(0, 6);
    table_seed("typed", t, base, script);
  }
  {  // Record order only.
    Table* t = new_table(base, {"Only"});
    TableIndex* phys = tb_physical_index(t);
    for (int i = 0; i < 5; ++i) {
      std::string v = key_of("row", i);
      const void* values[] = {v.c_str()};
      fz_check(tb_add_record(t, phys, values) == 1, "tb_add_record failed");
    }
    TbValues v;
    v.text("a longer row than any, so that it moves");
    Bytes script = tb_op(0, 0) + Bytes(1, 2) + tb_op(0, 3, v.b) + tb_op(0, 4) + tb_op(0, 5, v.b);
    table_seed("physical_only", t, base, script);
  }
}

// ---- profile_fuzz ------------------------------------------------------------------

void profile_seed(const char* name, bool ini, const std::string& text, const Bytes& script) {
  Bytes b(1, ini ? 1 : 0);
  put_u16(b, text.size());
  seed("profile_fuzz", name, b + text + script);
}

void profile_seeds() {
  const std::string reg =
      "REGEDIT4\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\Configuration]\n"
      "\"ShowIcon\"=dword:00000001\n"
      "\"Integrate\"=dword:00000001\n"
      "\n"
      "; kept as it stands\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\SaveAs]\n"
      "\"FileSpec\"=\"C:\\\\Notes\\\\a \\\"quoted\\\" name\"\n"
      "@=\"the unnamed value\"\n"
      "\"Settings\"=hex:0c,00,02,00,2b,01,\\\n"
      "  00,00,60,00,00,00\n"
      "\"Other\"=hex(7):61,00,00\n"
      "this line is not understood\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\Other]\n"
      "\"Lines\"=\"one\\ntwo\\r\"\n"
      "[HKEY_CLASSES_ROOT\\Nowhere]\n"
      "\"Lost\"=dword:1\n"
      "[hkey_local_machine\\software\\kestrin software\\quibbet\\configuration\\]\n"
      "\"showicon\"=dword:0\n";
  // Calls (registry key picks: odd takes a key of the file; value picks: odd
  // a value name of the file): read, set, delete, create, read back.
  Bytes calls;
  calls += Bytes("\x01\x01\x01", 3);                                    // read the first key's first value
  calls += Bytes("\x02\x01\x00\x03" "New" "\x00\x05" "hello", 14);     // set its "New" = "hello"
  calls += Bytes("\x04\x01\x01", 3);                                    // delete its first value
  calls += Bytes("\x00\x00\x06" "Fresh\\", 9);                         // create HKLM\Fresh
  calls += Bytes("\x01\x00\x06" "Fresh\\" "\x00\x03" "New", 14);       // read a value of it
  profile_seed("registry", false, reg, calls);
  // Create HKLM\A\B, set its "v" = the number 0x04030201.
  profile_seed("registry_empty", false, "",
               Bytes("\x00\x00\x03" "A\\B" "\x02\x00\x03" "A\\B" "\x00\x01" "v" "\x01\x01\x02\x03\x04", 20));
  const std::string ini =
      "[Quibbet]\n"
      "MODIFIED=1\n"
      "\n"
      "; a comment\n"
      "[Other] trailing text\n"
      "  Key = 12 \n"
      "negative=-5\n"
      "a line that is no key\n"
      "[quibbet]\n"
      "modified=2\n";
  Bytes icalls;
  icalls += Bytes("\x01\x01\x00", 3) + Bytes(4, '\0');  // read MODIFIED
  icalls += Bytes("\x03\x03\x01\x03" "42 ", 7);           // write Key = 42 in Other
  icalls += Bytes("\x01\x01\x02", 3);                   // delete a key
  icalls += Bytes("\x03\x01\x03", 3);                   // delete a section
  profile_seed("win_ini", true, ini, icalls);
}

// ---- event_fuzz ------------------------------------------------------------------

void event_seed(const char* name, int32_t op, const std::string& source, const std::string& target,
                const std::string& file_spec = "", bool with_spec = false) {
  // Source and target in 256-byte fields (zero-padded), then the operation,
  // little-endian: the input layout of event_fuzz.
  Bytes b(516, '\0');
  b.replace(0, std::min<size_t>(source.size(), 256), source.substr(0, 256));
  b.replace(256, std::min<size_t>(target.size(), 256), target.substr(0, 256));
  for (int i = 0; i < 4; ++i) b[512 + i] = static_cast<char>((static_cast<uint32_t>(op) >> (8 * i)) & 0xFF);
  if (with_spec) b += file_spec;
  seed("event_fuzz", name, b);
}

void event_seeds() {
  event_seed("rename_folder", OP_RENAME, "Old", "New");
  event_seed("rename_file", OP_RENAME, "doc.txt", "renamed.txt");
  event_seed("copy", OP_COPY, "doc.txt", "copy.txt");
  event_seed("copy_set_aside", OP_COPY, "nothing.txt", "gone.txt");
  event_seed("copy_reverse", OP_COPY_REVERSE, "back.txt", "Docs/plan.txt");
  event_seed("delete", OP_DELETE, "doc.txt", "");
  event_seed("delete_file_spec", OP_DELETE, "Docs/plan.txt", "", "Docs/plan", true);
  event_seed("create", OP_CREATE, "", "gone.txt");
  event_seed("create_file_spec", OP_CREATE, "", "Docs/plan.txt.new", "Docs/plan.txt", true);
  event_seed("remove", OP_REMOVE, "Docs", "");
  event_seed("stop", OP_STOP, "", "");
  event_seed("unknown", 77, "doc.txt", "doc.txt");
  event_seed("too_long", OP_RENAME, std::string(256, 'a'), "New");
  event_seed("file_spec_too_long", OP_DELETE, "doc.txt", "", std::string(300, 'f'), true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <folder>\n");
    return 2;
  }
  g_out = argv[1];
  fz_check(tb_startup(16, 512) == 1, "tb_startup failed");
  index_seeds();
  table_seeds();
  profile_seeds();
  event_seeds();
  (void)tb_shutdown();
  return 0;
}
