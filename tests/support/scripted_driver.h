// A scripted driver for tests: a device registered as "\\.\QBSYS.VXD" in the
// platform's device table that plays the file-event driver's side of the
// control protocol, records what the program under test asked of it, and
// delivers the events a test hands it.
//
// Protocol, as the driver answers it (codes are CTL_CODE(0x22, n, 3, 0)):
//   0x220007 register handler  input: the handler's address, 4 or 8 bytes
//            little-endian (8 on 64-bit Linux: a full pointer). The calling
//            thread becomes the thread events are queued to.
//   0x22000B register event    input: 4 bytes, an event token
//            (qb_event_token); refused when it names no event.
//   0x22000F register window   input: the window handle, 4 or 8 bytes.
//   0x220013 acknowledge       input: the record's address, 4 or 8 bytes
//            (4 bytes match the address's low 32 bits).
//   0x220017 stop              no input; answered by queueing an OP_STOP
//            (100) record to the handler's thread, when there is one.
// Any other code fails with ERROR_INVALID_FUNCTION; an input of the wrong
// size with ERROR_INVALID_PARAMETER. Every call is recorded, failed or not.
//
// Event record, 516 bytes, owned by the driver and valid until the driver
// object goes:
//     0   256  source path, NUL-terminated (longer paths are cut to 255)
//   256   256  target path, NUL-terminated
//   512     4  operation, signed 32-bit little-endian
//
// Delivery: deliver_apc queues the registered handler with the record's
// address to the registering thread (QueueUserAPC); deliver_message posts
// message 1030 to the registered window with the address in lParam. Neither
// waits; wait_acknowledged waits for the program to acknowledge.
//
// Lifetime: one driver object at a time; it registers itself when made and
// removes the name when destroyed. Close every handle opened on it first.
// Threads: every member may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win_types.h"

constexpr DWORD kDriverRegisterHandler = 0x220007;
constexpr DWORD kDriverRegisterEvent = 0x22000B;
constexpr DWORD kDriverRegisterWindow = 0x22000F;
constexpr DWORD kDriverAcknowledge = 0x220013;
constexpr DWORD kDriverStop = 0x220017;
constexpr DWORD kDriverDrain = 0x22001B;  // refused here: nothing is ever queued
constexpr UINT kDriverEventMessage = 1030;
constexpr int32_t kDriverOpStop = 100;
constexpr size_t kDriverRecordSize = 516;

struct DriverCall {
  DWORD code;
  std::vector<uint8_t> input;
  DWORD thread_id;  // GetCurrentThreadId of the caller
  bool succeeded;
};

class ScriptedDriver {
 public:
  static constexpr const char* kDeviceName = "\\\\.\\QBSYS.VXD";

  ScriptedDriver();
  ~ScriptedDriver();
  ScriptedDriver(const ScriptedDriver&) = delete;
  ScriptedDriver& operator=(const ScriptedDriver&) = delete;

  // ---- what the program did -----------------------------------------------
  std::vector<DriverCall> calls() const;
  std::vector<DWORD> codes() const;  // the codes of calls(), in order
  int opens() const;
  int closes() const;
  ULONG_PTR handler() const;  // 0 until registered
  DWORD handler_thread() const;
  DWORD event_token() const;
  HWND window() const;

  // ---- failures ---------------------------------------------------------------
  // The next `times` opens fail with `error` (times < 0: every one).
  void fail_open(DWORD error, int times = 1);
  // The next `times` calls with `code` fail with `error`, recorded as failed.
  void fail_control(DWORD code, DWORD error, int times = 1);
  // Whether stop requests are answered with OP_STOP (default yes).
  void answer_stop(bool answer);
  // The number of events every acknowledgement says are queued behind it
  // (default 0: none).
  void queue_behind(DWORD events) { behind_ = events; }

  // ---- events -------------------------------------------------------------------
  // A new record; null when nothing is registered to deliver to, or the
  // platform refused the delivery.
  uint8_t* deliver_apc(int32_t operation, const std::string& source, const std::string& target);
  uint8_t* deliver_message(int32_t operation, const std::string& source, const std::string& target);
  // Waits until `record` has been acknowledged (true) or `timeout_ms` passed.
  bool wait_acknowledged(const uint8_t* record, int timeout_ms = 10000) const;
  // Waits until at least `n` acknowledgements came in all.
  bool wait_acknowledgements(int n, int timeout_ms = 10000) const;
  // Waits until every open has been closed again.
  bool wait_closed(int timeout_ms = 10000) const;
  int acknowledgements() const;
  // Sets the registered event through its token; false when there is none.
  bool set_event() const;

  static int32_t operation_of(const uint8_t* record);
  static std::string source_of(const uint8_t* record);
  static std::string target_of(const uint8_t* record);

 private:
  static BOOL open_thunk(void* self);
  static BOOL control_thunk(void* self, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                            DWORD* returned);
  static void close_thunk(void* self);
  BOOL control(DWORD code, const uint8_t* in, DWORD in_size);
  uint8_t* new_record_locked(int32_t operation, const std::string& source, const std::string& target);

  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::vector<DriverCall> calls_;
  std::deque<std::array<uint8_t, kDriverRecordSize>> records_;  // stable addresses
  std::vector<uint64_t> acks_;
  int opens_ = 0;
  int closes_ = 0;
  DWORD open_error_ = 0;
  int open_failures_ = 0;
  std::map<DWORD, std::pair<DWORD, int>> control_failures_;  // code -> error, times
  bool answer_stop_ = true;
  std::atomic<DWORD> behind_{0};
  ULONG_PTR handler_ = 0;
  DWORD handler_thread_ = 0;
  HANDLE thread_handle_ = nullptr;
  DWORD event_token_ = 0;
  HWND window_ = nullptr;
};
