// Shared by the platform tests: taking a message of the calling thread with
// a time limit, so that a lost message fails a test instead of hanging it.
#pragma once

#include "platform/threads.h"
#include "platform/window.h"

inline bool wait_message(MSG* msg, int timeout_ms = 5000) {
  for (int waited = 0; waited <= timeout_ms; ++waited) {
    if (PeekMessageA(msg, nullptr, 0, 0, PM_REMOVE)) return true;
    Sleep(1);
  }
  return false;
}
