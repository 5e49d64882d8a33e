// A noted file moved into a folder made an instant earlier
// (`mkdir new && mv noted.txt new/`): the move usually happens before the
// Monitor watches the new folder, so that the kernel reports only the half
// of the rename that left, and the new folder's listing finds the file.
// The note must follow it all the same, and nothing may be left behind.

#include "e2e/e2e_support.h"

namespace e2e {
namespace {

class NewFolderRace : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    monitor_ = start_monitor();
    ASSERT_TRUE(wait_ready(monitor_));
  }
  void TearDown() override {
    if (!ended(monitor_)) stop(monitor_);
    E2eTest::TearDown();
  }

  size_t monitor_ = 0;
};

TEST_F(NewFolderRace, FileMovedIntoAFolderJustMadeKeepsItsNote) {
  constexpr int kRounds = 10;
  for (int round = 1; round <= kRounds; ++round) {
    const std::string r = std::to_string(round);
    const std::string f = make_file("noted" + r + ".txt");
    set_note(f, "note " + r);
    barrier();
    const std::string into = at("new" + r);
    ASSERT_EQ(::mkdir(into.c_str(), 0700), 0);
    move(f, into + "/noted" + r + ".txt");
  }
  barrier();
  std::map<std::string, std::string> expected;
  for (int round = 1; round <= kRounds; ++round) {
    const std::string r = std::to_string(round);
    expected[at("new" + r + "/noted" + r + ".txt")] = "note " + r;
  }
  EXPECT_EQ(notes_under(), expected);
}

}  // namespace
}  // namespace e2e
