// A table from arbitrary bytes: its data file and index file both come from
// the input, then every record operation runs on it.
//
// Input:
//   bytes 0..1   D, the data file's length (least significant byte first)
//   D bytes      the data file (base.db)
//   2 bytes      I, the index file's length
//   I bytes      the index file (base.idx)
//   the rest     a script: the values of searches and of written records,
//                and which operation comes next (see run_op)
//
// The table is opened exclusive and writable, verified, walked on every
// index and in record order, then the script runs: find, read, update,
// delete and add on the indexes it picks. Whatever the files hold, nothing
// may crash, hang or touch memory it does not own. When tb_verify finds the
// table sound at open (its index file in use), it must still be sound after
// the script, and again once closed and opened anew: no operation may turn
// a sound table into a damaged one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cache/file_io.h"
#include "engine/engine.h"
#include "fuzz_support.h"
#include "records/records.h"

namespace {

constexpr int kMaxOps = 48;
constexpr int kMaxWalk = 300;         // records visited by one walk
constexpr int kMaxFilledFields = 16;  // fields past these get empty values
constexpr int64_t kMaxPayload = 65536;  // a write needing more is not built
constexpr int32_t kMaxVerifiedFile = 1 << 20;  // a larger data file is not verified (see run_op)
constexpr size_t kMaxText = 40;       // characters of a text value

const bool g_verbose = fz_verbose();
int g_last_rc = 0;  // the last operation's result, for the verbose trace

void print_finding(void*, const char* finding) {
  if (g_verbose) std::fprintf(stderr, "  finding: %s\n", finding);
}

int verify(Table* t) { return tb_verify(t, print_finding, nullptr, 20); }

// The values of one record or search, in buffers of their own. Absent
// (null) values only where `absent` allows: a search may end early, but a
// record written with absent values does not read back with them absent
// (tests/records/absent_value_update_test.cpp), which the oracle would
// report on every run; the fields past kMaxFilledFields are then empty.
class Values {
 public:
  Values(Table* t, FzBytes& in, bool absent)
      : storage_(static_cast<size_t>(t->field_count)), values_(storage_.size(), nullptr) {
    for (int f = 0; f < t->field_count; ++f) {
      std::string& s = storage_[static_cast<size_t>(f)];
      if (f >= kMaxFilledFields) {
        if (!absent) {
          s.assign(static_cast<size_t>(rec_field_length(t, f, "")), '\0');
          values_[static_cast<size_t>(f)] = s.c_str();
        }
        continue;
      }
      const uint8_t pick = in.u8();
      if (absent && (pick & 7) == 0) continue;
      const int type = t->field_types[f];
      if (type == kFieldText || type == kFieldTextExact) {
        s = in.text(pick % (kMaxText + 1));
        s = s.substr(0, std::strlen(s.c_str()));  // a text value ends at its first zero byte
      } else {
        s = in.text(static_cast<size_t>(rec_field_length(t, f, "")));
        s.resize(static_cast<size_t>(rec_field_length(t, f, "")), '\0');
      }
      values_[static_cast<size_t>(f)] = s.c_str();
    }
    if (g_verbose) {
      for (size_t f = 0; f < values_.size(); ++f) {
        std::fprintf(stderr, "  value %zu:", f);
        if (values_[f] == nullptr) std::fprintf(stderr, " absent");
        for (unsigned char c : storage_[f]) std::fprintf(stderr, " %02x", c);
        std::fprintf(stderr, "\n");
      }
    }
  }
  const void* const* get() const { return values_.data(); }
  // The values of the key fields of `ix`, in key order.
  std::vector<const void*> key_of(TableIndex* ix) const {
    std::vector<const void*> key(static_cast<size_t>(ix->key_field_count) + 1, nullptr);
    for (int k = 0; k < ix->key_field_count; ++k) key[static_cast<size_t>(k)] = values_[static_cast<size_t>(ix->key_fields[k])];
    return key;
  }

 private:
  std::vector<std::string> storage_;
  std::vector<const void*> values_;
};

// Reads the current record under `ix` into malloc'd buffers, as the table
// handle does, and frees them.
void read(Table* t, TableIndex* ix) {
  const size_t n = static_cast<size_t>(t->field_count);
  std::vector<void*> buffers(n, nullptr);
  std::vector<int32_t> sizes(n, 0);
  for (size_t f = 0; f < n; ++f) {
    int32_t size = rec_field_length(t, static_cast<int>(f), "");
    if (size < 1) size = 1;
    buffers[f] = std::calloc(1, static_cast<size_t>(size));
    sizes[f] = size;
  }
  (void)tb_read_record(t, ix, buffers.data(), sizes.data());
  for (void* b : buffers) std::free(b);
}

void walk(Table* t, TableIndex* ix, int limit) {
  int rc = tb_first_record(t, ix);
  for (int n = 0; rc == 1 && n < limit; ++n) {
    read(t, ix);
    rc = tb_next_record(t, ix);
  }
}

std::vector<TableIndex*> indexes(Table* t) {
  std::vector<TableIndex*> all;
  for (TableIndex* ix = t->indexes; ix != nullptr; ix = ix->next) all.push_back(ix);
  return all;
}

// Bytes of a record whose every field holds its shortest value. Above
// kMaxPayload the engine refuses the record anyway (32767 at most), and
// building its values would only cost the harness memory.
int64_t least_payload(Table* t) {
  int64_t n = 0;
  for (int f = 0; f < t->field_count; ++f) n += rec_field_length(t, f, "");
  return n;
}

void run_op(Table* t, FzBytes& in) {
  std::vector<TableIndex*> all = indexes(t);
  TableIndex* ix = all[in.u8() % all.size()];
  const int op = in.u8() % 8;
  if (g_verbose) std::fprintf(stderr, "op %d on index %d \"%s\"\n", op, ix->number, ix->name ? ix->name : "");
  switch (op) {
    case 0:
      walk(t, ix, 1 + in.u8());
      return;
    case 1: {
      Values v(t, in, true);
      std::vector<const void*> key = v.key_of(ix);
      g_last_rc = tb_find_key(t, ix, key.data());
      if (g_last_rc >= 1) read(t, ix);
      return;
    }
    case 2:
      read(t, ix);
      return;
    case 3: {
      if (least_payload(t) > kMaxPayload) return;
      Values v(t, in, false);
      g_last_rc = tb_update_record(t, ix, v.get());
      return;
    }
    case 4:
      g_last_rc = tb_delete_record(t, ix);
      return;
    case 5: {
      if (least_payload(t) > kMaxPayload) return;
      Values v(t, in, false);
      g_last_rc = tb_add_record(t, ix, v.get());
      return;
    }
    case 6: {
      // A damaged free-space entry can make an add grow the data file by up
      // to 2 GB of empty blocks (tests/records/free_entry_past_end_test.cpp);
      // walking them all is what the verifier must do, and takes minutes.
      int32_t end = 0;
      if (io_file_size(t->data_file, &end) == 1 && end > kMaxVerifiedFile) return;
      (void)verify(t);
      return;
    }
    default:
      (void)tb_flush_table(t);
      return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_check(tb_startup(16, 512) == 1, "tb_startup failed");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string base = fz_path("fuzz");
  static const std::string data_name = base + ".db";
  static const std::string index_name = base + ".idx";
  FzBytes in(data, size);
  size_t got = 0;
  const uint8_t* bytes = in.take(in.u16(), &got);
  fz_write(data_name, bytes, got);
  bytes = in.take(in.u16(), &got);
  fz_write(index_name, bytes, got);

  Table* t = tb_open(base.c_str(), 0, 0);
  if (t == nullptr) return 0;
  const bool sound = tb_error == kTbOk && verify(t) == 0;
  for (TableIndex* ix : indexes(t)) walk(t, ix, kMaxWalk);
  for (int n = 0; n < kMaxOps && !in.empty(); ++n) {
    run_op(t, in);
    if (g_verbose) std::fprintf(stderr, "  result %d, tb_error %d, findings %d\n", g_last_rc, tb_error, verify(t));
  }
  if (sound) fz_check(verify(t) == 0, "the operations left a sound table damaged");
  (void)tb_close(t);
  if (sound) {
    t = tb_open(base.c_str(), 0, 0);
    fz_check(t != nullptr && tb_error == kTbOk, "a sound table cannot be opened again");
    fz_check(verify(t) == 0, "a sound table is damaged once opened again");
    (void)tb_close(t);
  }
  return 0;
}
