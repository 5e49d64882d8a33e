// What every fuzz target shares: a scratch folder for the files an input is
// written to, whole-file writes, a cursor that hands out the bytes of an
// input piece by piece, and the check that stops a run when an answer is
// wrong (a crash libFuzzer records with the input that caused it).
//
// The scratch folder lies under /dev/shm when that exists: every run writes
// its files afresh, and memory takes that far faster than a disk. It is made
// on first use and removed at exit (a crashed run leaves it behind, which is
// what one wants when looking into the crash).
//
// Single-threaded, like the targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The scratch folder, made on first use; aborts when it cannot be made.
const std::string& fz_dir();
std::string fz_path(const char* name);

// Replaces the file with `n` bytes. Aborts on failure: a target that cannot
// write its input tests nothing.
void fz_write(const std::string& path, const uint8_t* data, size_t n);

// True when QB_FUZZ_VERBOSE is set: targets then trace what they do on
// standard error, for looking into a crash file run on its own.
bool fz_verbose();

// Aborts with the message when `ok` is false: a wrong answer found by a
// target's oracle, reported like a crash.
void fz_check(bool ok, const char* what);

// For a target that changes the working folder while an input runs: unless
// the command line says where crash files go, adds -artifact_prefix naming
// the folder it was started in, so that they land there and not in the
// scratch folder. Call from LLVMFuzzerInitialize, which may change argv.
void fz_absolute_artifacts(int* argc, char*** argv);

// Hands out an input front to back. Past the end every read gives zeros and
// empty pieces, so a target never needs to test for the end itself.
class FzBytes {
 public:
  FzBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t left() const { return size_ - at_; }
  bool empty() const { return at_ >= size_; }
  uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t u16() {  // least significant byte first
    uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
  }
  int32_t i32() {
    uint32_t v = u16();
    v |= static_cast<uint32_t>(u16()) << 16;
    return static_cast<int32_t>(v);
  }
  // Up to `n` bytes; *got tells how many came.
  const uint8_t* take(size_t n, size_t* got) {
    *got = n < left() ? n : left();
    const uint8_t* p = data_ + at_;
    at_ += *got;
    return p;
  }
  std::string text(size_t n) {
    size_t got = 0;
    const uint8_t* p = take(n, &got);
    return std::string(reinterpret_cast<const char*>(p), got);
  }
  std::string rest() { return text(left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};
