// Engine start-up and shutdown, the message writer and the open-table list
// with its checks. The error number, the lock settings and the key buffer
// are the record layer's (records/data_file.cpp, records/keys.cpp).
//
// The engine counts as started while the index layer's page cache exists
// (its start-up page size is not 0). Start-up is explicit (the table handle)
// or implicit (the first open, create or copy); shutdown runs at process exit
// at the latest, registered once by the first start-up.
#include <cstdlib>

#include "btree/index_file.h"
#include "engine/engine.h"
#include "records/records.h"

RegistryList<Table> tb_tables;

namespace {

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
  rec_free_key_buffer();
  tb_set_current_table(nullptr);
  tb_error = kept;
  return kept == kTbOk ? 1 : -1;
}

TbMessageWriter tb_set_message_writer(TbMessageWriter writer) {
  TbMessageWriter previous = g_file_io.message;
  g_file_io.message = writer != nullptr ? writer : io_default_table().message;
  return previous;
}
