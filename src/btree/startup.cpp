// The index layer's start-up: the shared page pool, the values it was
// started with, and the layer's error state, which every ix_ operation (and
// the start-up itself) reports through.
#include "btree/index_file.h"

// Plain process-wide variables, not thread_local, like all of the layer's
// state: whoever runs engine work on several threads runs it on one at a
// time under one mutex, from the first call to the last reading of an error
// number (the Monitor's tracking_table_mutex(); see records/data_file.cpp).
int ix_error = 0;
int ix_error_site = 0;
int ix_operation = 0;

namespace {

int g_started_page_size = 0;
int g_started_frames = 0;
PagePool* g_pool = nullptr;

}  // namespace

int ix_startup(int frame_count, int page_size) {
  ix_operation = kOpStartup;
  if (g_pool != nullptr) {
    ix_error = 4;
    ix_error_site = 4;
    return -1;
  }
  if (frame_count == 0) frame_count = 16;
  if (frame_count < 6) frame_count = 6;
  if (page_size < 36) page_size = 512;  // covers 0 as well
  PagePool* pool = pc_pool_create(page_size, frame_count);
  if (pool == nullptr) {
    ix_error = 4;
    ix_error_site = 5;
    return -1;
  }
  g_pool = pool;
  g_started_page_size = page_size;
  g_started_frames = frame_count;
  g_file_io = io_default_table();
  return 1;
}

int ix_started() {
  ix_operation = kOpStarted;
  return g_started_page_size;
}

int ix_started_frames() { return g_started_frames; }

PagePool* ix_pool() { return g_pool; }

void ix_reset_startup() {
  g_pool = nullptr;
  g_started_page_size = 0;
  g_started_frames = 0;
}
