// Engine start-up and shutdown: a second start-up, shutdown with tables
// still open, implicit start-up by the first open, and the message writer.
#include <gtest/gtest.h>

#include <string>

#include "engine/engine.h"
#include "engine_fixture.h"

namespace {

using StartupTest = EngineTest;

TEST_F(StartupTest, SecondStartupFailsAndEngineStaysUsable) {
  EXPECT_EQ(tb_startup(16, 512), -1);
  EXPECT_EQ(tb_get_error(), kTbStarted);
  Table* t = make_notes("notes");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_get_error(), kTbOk);
  EXPECT_EQ(tb_field_count(t), 2);
  EXPECT_EQ(tb_close(t), 1);
}

TEST_F(StartupTest, ShutdownClosesOpenTablesAndStopsTheEngine) {
  Table* a = make_notes("a");
  Table* b = make_notes("b");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(tb_index_names(a), nullptr);
  EXPECT_EQ(tb_shutdown(), 1);
  EXPECT_EQ(tb_tables.head, nullptr);
  EXPECT_EQ(tb_started(), 0);
  EXPECT_EQ(rec_key_buffer(), nullptr);
  EXPECT_EQ(ix_handles.head, nullptr);
  // Both files were closed: an exclusive open of each succeeds again.
  Table* again = tb_open(base("a").c_str(), 0, 0);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(tb_close(again), 1);
}

TEST_F(StartupTest, FirstOpenStartsAStoppedEngine) {
  ASSERT_NE(make_notes("notes"), nullptr);
  ASSERT_EQ(tb_shutdown(), 1);
  ASSERT_EQ(tb_started(), 0);
  Table* t = tb_open(base("notes").c_str(), 0, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tb_started(), 1);
  EXPECT_EQ(ix_started(), 512);
  EXPECT_EQ(rec_key_buffer_size(), 512);
}

TEST_F(StartupTest, MessageWriterReplacesTheSlotAndReturnsThePrevious) {
  static std::string seen;
  seen.clear();
  TbMessageWriter mine = [](const char* text) {
    seen += text;
    return 1;
  };
  TbMessageWriter before = tb_set_message_writer(mine);
  EXPECT_EQ(before, io_default_table().message);
  EXPECT_EQ(io_message("hello"), 1);
  EXPECT_EQ(seen, "hello");
  EXPECT_EQ(tb_set_message_writer(before), mine);
  EXPECT_EQ(g_file_io.message, io_default_table().message);
}

}  // namespace
