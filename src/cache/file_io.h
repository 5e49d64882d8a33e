// The file access layer: the one door through which the table engine reaches
// the operating system's files.
//
// Every file operation of the engine (data files, index files, locks,
// flushes, deletions, diagnostic text) is a call through the process-wide
// table `g_file_io`. The slots are plain function pointers so that a test can
// swap one at run time (a write that fails on its N-th call, a short read)
// and reach the failure paths of every layer above without `#ifdef`s.
//
// Callers use the `io_` wrappers below, never the slots directly.
//
// Conventions of every slot (results are small integers, nothing throws):
//   - 1 for success, -1 for failure; a handle result is -1 on failure;
//     `io_close` alone returns 0 on success.
//   - On failure `io_os_error` holds errno, or 30 when a read or write moved
//     fewer bytes than asked (so a read past the end of a file fails with 30).
//     `io_lock`, `io_sleep`, `io_idle` and `io_message` never set it.
//   - Offsets are signed 32-bit byte positions, lengths 32-bit counts.
//
// Sharing: an open "not shared" excludes every other open of the file
// (flock LOCK_EX, also within this process); a shared open takes LOCK_SH.
// Byte-range locks are open-file-description locks (F_OFD_SETLK): they
// conflict between two opens of one file even inside one process and are not
// dropped when some other descriptor of the file is closed. Classic POSIX
// record locks do neither and would be wrong here.
//
// Single-threaded: the table and `io_os_error` are process-wide and unlocked.
#pragma once

#include <cstdint>

struct FileIo {
  int (*close)(int handle);
  int (*flush)(int handle);
  int (*create)(const char* name);
  int (*sleep)(int ms);
  int (*file_size)(int handle, int32_t* size);
  int (*lock)(int handle, int32_t offset, int32_t length, int tries, int delay_ms, int limit_ms);
  int (*open)(const char* name, int write, int shared);
  int (*message)(const char* text);
  int (*read_at)(int handle, int32_t offset, int32_t length, void* buffer);
  int (*read_page)(int handle, int32_t page, int32_t page_size, void* buffer);
  int (*remove)(const char* name);
  int (*write_at)(int handle, int32_t offset, int32_t length, const void* buffer);
  int (*write_page)(int handle, int32_t page, int32_t page_size, const void* buffer);
  int (*unlock)(int handle, int32_t offset, int32_t length);
  int (*idle)();
  // The identity of the running boot of the system (16 bytes): what a power
  // cut changes, since the system starts again after it. 1, or -1 when the
  // system does not tell.
  int (*boot_id)(uint8_t out[16]);
  // The working directory, with its terminator, into `buffer` of `size`
  // bytes (relative table names are made full with it). 1, or -1 (ERANGE
  // when it does not fit).
  int (*current_dir)(char* buffer, int32_t size);
};

// The live table. Filled with the POSIX defaults at load and again by the
// index layer's start-up; tests may replace single slots between those points.
extern FileIo g_file_io;

// The POSIX defaults, for tests that wrap them.
const FileIo& io_default_table();

// Error number of the last failing slot (errno, or 30 for a short transfer).
extern int io_os_error;
constexpr int kIoShortTransfer = 30;

// Lock retry settings, passed by the callers of `io_lock` as its last three
// arguments. The index layer and the table/record layers each keep their own
// copy with the same values.
extern int io_lock_tries;     // 25
extern int io_lock_delay_ms;  // 50
extern int io_lock_limit_ms;  // 10000

inline int io_close(int h) { return g_file_io.close(h); }
inline int io_flush(int h) { return g_file_io.flush(h); }
inline int io_create(const char* name) { return g_file_io.create(name); }
inline int io_sleep(int ms) { return g_file_io.sleep(ms); }
inline int io_file_size(int h, int32_t* size) { return g_file_io.file_size(h, size); }
inline int io_lock(int h, int32_t off, int32_t len, int tries, int delay_ms, int limit_ms) {
  return g_file_io.lock(h, off, len, tries, delay_ms, limit_ms);
}
inline int io_open(const char* name, int write, int shared) { return g_file_io.open(name, write, shared); }
inline int io_message(const char* text) { return g_file_io.message(text); }
inline int io_read_at(int h, int32_t off, int32_t len, void* buf) { return g_file_io.read_at(h, off, len, buf); }
inline int io_read_page(int h, int32_t page, int32_t page_size, void* buf) {
  return g_file_io.read_page(h, page, page_size, buf);
}
inline int io_delete(const char* name) { return g_file_io.remove(name); }
inline int io_write_at(int h, int32_t off, int32_t len, const void* buf) {
  return g_file_io.write_at(h, off, len, buf);
}
inline int io_write_page(int h, int32_t page, int32_t page_size, const void* buf) {
  return g_file_io.write_page(h, page, page_size, buf);
}
inline int io_unlock(int h, int32_t off, int32_t len) { return g_file_io.unlock(h, off, len); }
inline int io_idle() { return g_file_io.idle(); }
inline int io_boot_id(uint8_t out[16]) { return g_file_io.boot_id(out); }
inline int io_current_dir(char* buffer, int32_t size) { return g_file_io.current_dir(buffer, size); }

// Monotonic clock in milliseconds, used for the lock retry limit.
int64_t io_now_ms();
