// Engine start-up and shutdown, the engine error number, the message writer,
// the key buffer and the open-table list with its checks.
//
// The engine counts as started while the index layer's page cache exists
// (its start-up page size is not 0). Start-up is explicit (the table handle)
// or implicit (the first open, create or copy); shutdown runs at process exit
// at the latest, registered once by the first start-up.
#include <cstdlib>

#include "btree/index_file.h"
#include "engine/engine.h"

int tb_error = 0;
RegistryList<Table> tb_tables;
TbLockSettings tb_lock_settings;

namespace {

uint8_t* g_key_buffer = nullptr;
int g_key_buffer_size = 0;
bool g_exit_hook = false;

void shutdown_at_exit() { (void)tb_shutdown(); }

}  // namespace

void tb_set_error(int code) { tb_error = code; }
int tb_get_error() { return tb_error; }

int tb_started() {
  // ix_started records itself as the index layer's last operation; an engine
  // check must not overwrite what a failed index call left there.
  int op = ix_operation;
  int ps = ix_started();
  ix_operation = op;
  return ps != 0 ? 1 : 0;
}

uint8_t* tb_key_buffer() { return g_key_buffer; }
int tb_key_buffer_size() { return g_key_buffer_size; }

int tb_ensure_key_buffer() {
  if (g_key_buffer != nullptr) return 1;
  int op = ix_operation;
  int size = ix_started();
  ix_operation = op;
  if (size <= 0) {
    tb_error = kTbIndexLayer;
    return -1;
  }
  g_key_buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
  if (g_key_buffer == nullptr) {
    tb_error = kTbNoMemory;
    return -1;
  }
  g_key_buffer_size = size;
  return 1;
}

int tb_check_table(Table* t) {
  if (!tb_tables.contains(t)) {
    tb_error = kTbNotOpen;
    return -1;
  }
  return 1;
}

int tb_check_index(Table* t, TableIndex* ix) {
  if (ix != nullptr)
    for (TableIndex* p = t->indexes; p != nullptr; p = p->next)
      if (p == ix) return 1;
  tb_error = kTbForeignIndex;
  return -1;
}

int tb_startup(int buffer_count, int page_size) {
  tb_error = kTbOk;
  if (tb_started()) {
    tb_error = kTbStarted;
    return -1;
  }
  if (!g_exit_hook) {
    // One registration is enough: tb_shutdown closes whatever is open at
    // exit, however often the engine was started and stopped before.
    if (std::atexit(shutdown_at_exit) == 0) g_exit_hook = true;
  }
  if (ix_startup(buffer_count, page_size) != 1) {
    tb_error = kTbIndexLayer;
    return -1;
  }
  tb_error = kTbOk;
  return 1;
}

int tb_shutdown() {
  (void)tb_index_names(nullptr);
  (void)tb_index_definition(nullptr, nullptr);
  int kept = kTbOk;
  while (tb_tables.head != nullptr) {
    // tb_close takes the table off the list even when it fails.
    if (tb_close(tb_tables.head) != 1 && kept == kTbOk) kept = tb_error;
  }
  if (tb_started() && ix_shutdown() != 1) kept = kTbIndexLayer;
  std::free(g_key_buffer);
  g_key_buffer = nullptr;
  g_key_buffer_size = 0;
  tb_set_current_table(nullptr);
  tb_error = kept;
  return kept == kTbOk ? 1 : -1;
}

TbMessageWriter tb_set_message_writer(TbMessageWriter writer) {
  TbMessageWriter previous = g_file_io.message;
  g_file_io.message = writer != nullptr ? writer : io_default_table().message;
  return previous;
}
