// Found by fuzz/table_fuzz: a record updated in place with an absent (null)
// last value does not read back with that value absent. The update writes
// only the present fields into the old block, whose space stays as it was,
// and reading splits the whole space, so the old record's trailing bytes
// come back as the absent field's value. The keyed indexes were given the
// key that ends at the absent value; the record as read builds another one,
// so tb_verify reports the record missing from its index and a later delete
// or update of it fails in the index layer (the entry under the read key is
// not there).
//
// DISABLED_: the fix belongs to the record layer (records/data_file.cpp,
// record_ops.cpp), which is being reworked elsewhere at the time of writing.
// Either an absent value must be stored so that it reads back absent (the
// block's space cut to the payload, the rest freed, or the key built from
// the values as they will read back), or absent values refused on writes.
#include "records_fixture.h"

namespace {

class AbsentValueUpdate : public RecordsTest {};

void collect(void* ctx, const char* finding) { static_cast<std::vector<std::string>*>(ctx)->push_back(finding); }

TEST_F(AbsentValueUpdate, DISABLED_AnAbsentLastValueReadsBackAbsentAndTheRecordStaysDeletable) {
  Table* t = make_notes("absent");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(create_index(t, "ByRemark", {"Remark"}), 1);
  // Old payload "/a" "r" (5 bytes); the new one "/a" alone (3 bytes) leaves
  // 2 bytes, too few for a free block, so the record keeps its whole space.
  ASSERT_NE(add(t, "/a", "r"), 0);
  TableIndex* phys = tb_physical_index(t);
  ASSERT_EQ(tb_first_record(t, phys), 1);
  const void* values[] = {"/a", nullptr};
  ASSERT_EQ(tb_update_record(t, phys, values), 1);

  ASSERT_EQ(tb_first_record(t, phys), 1);
  EXPECT_EQ(read_texts(t, phys), (std::vector<std::string>{"/a", ""}));  // not the old "r"
  std::vector<std::string> findings;
  EXPECT_EQ(tb_verify(t, collect, &findings, 10), 0) << (findings.empty() ? "" : findings[0]);
  EXPECT_EQ(tb_delete_record(t, phys), 1) << "tb_error " << tb_error << ", ix_error " << ix_error;
  EXPECT_EQ(tb_close(t), 1);
}

}  // namespace
