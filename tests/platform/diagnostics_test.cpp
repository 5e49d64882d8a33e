// What the Monitor tells people: the trace and the reports, on standard
// error and through the sink.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/report.h"
#include "state_home.h"
#include "support/log_capture.h"

namespace {

// ---- trace and reports ----------------------------------------------------------

class Reports : public StateHome {
 protected:
  void TearDown() override {
    ::unsetenv("QB_TRACE");
    StateHome::TearDown();
  }
  LogCapture log_;
};

TEST_F(Reports, TracesReachStderrOnlyWhenTracingAndTheSinkInOrder) {
  StderrCapture quiet(tmp_.file("quiet"));
  qb_trace("\nDoResponse with 2\n");
  EXPECT_EQ(quiet.finish(), "");
  ::setenv("QB_TRACE", "1", 1);
  StderrCapture loud(tmp_.file("loud"));
  qb_trace("RENAME: a, b\n");
  EXPECT_EQ(loud.finish(), "RENAME: a, b\n");
  EXPECT_EQ(log_.texts(LogKind::kTrace), (std::vector<std::string>{"\nDoResponse with 2\n", "RENAME: a, b\n"}));
  ::unsetenv("QB_TRACE");

  log_.clear();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) qb_trace((std::to_string(t) + ":" + std::to_string(i)).c_str());
    });
  for (std::thread& th : threads) th.join();
  std::vector<std::string> lines = log_.texts(LogKind::kTrace);
  ASSERT_EQ(lines.size(), 2000u);
  std::vector<int> next(4, 0);
  for (const std::string& line : lines) {
    int t = line[0] - '0';
    EXPECT_EQ(line, std::to_string(t) + ":" + std::to_string(next[t]++));
  }
}

TEST_F(Reports, ReportsNameTheProgramOnStderrAndKeepTheirKind) {
  const std::string long_text(3000, 'x');
  StderrCapture err(tmp_.file("err"));
  qb_report(LogKind::kError, "the notes table cannot be opened:\ntry again");
  qb_reportf(LogKind::kWarning, "%d events lost: %s", 3, long_text.c_str());
  qb_report(LogKind::kNotice, "Backing up the Quibbet Database...");
  EXPECT_EQ(err.finish(), "qbmon: the notes table cannot be opened:\ntry again\nqbmon: 3 events lost: " + long_text +
                              "\nqbmon: Backing up the Quibbet Database...\n");
  EXPECT_EQ(log_.lines(), (std::vector<LogCapture::Line>{
                              {LogKind::kError, "the notes table cannot be opened:\ntry again"},
                              {LogKind::kWarning, "3 events lost: " + long_text},
                              {LogKind::kNotice, "Backing up the Quibbet Database..."}}));
}

}  // namespace
