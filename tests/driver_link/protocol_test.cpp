// The driver protocol's look-up of OpenVxDHandle.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "driver_link/protocol.h"
#include "platform/threads.h"
#include "support/temp_dir.h"

namespace {

class OpenVxD : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("QB_HOME", (tmp_.path() + "/state").c_str(), 1); }
  void TearDown() override { ::unsetenv("QB_HOME"); }
  TempDir tmp_;
};

TEST_F(OpenVxD, GivesTheTokenOfAnEvent) {
  OpenVxDHandleProc open = getOpenVxDHandle();
  ASSERT_NE(open, nullptr);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  DWORD token = open(event);
  EXPECT_NE(token, 0u);
  HANDLE again = qb_event_from_token(token);
  ASSERT_NE(again, nullptr);
  // The token names the same event: setting it through one sets the other.
  ASSERT_TRUE(SetEvent(again));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  qb_event_token_close(token);
  EXPECT_TRUE(CloseHandle(again));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(OpenVxD, NullWhenTheSystemDirectoryCannotBeHad) {
  // A file where the state folder should be: nothing can be made below it.
  ASSERT_TRUE(write_whole_file(tmp_.path() + "/blocked", "x"));
  ::setenv("QB_HOME", (tmp_.path() + "/blocked").c_str(), 1);
  EXPECT_EQ(getOpenVxDHandle(), nullptr);
}

}  // namespace
