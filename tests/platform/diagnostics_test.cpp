// What the Monitor tells people: message boxes (scripted, defaulted, asked
// on a terminal), debug output, and the tray icon.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "message_wait.h"
#include "platform/debug_output.h"
#include "platform/message_box.h"
#include "platform/report.h"
#include "platform/tray.h"
#include "platform/window.h"
#include "state_home.h"
#include "support/log_capture.h"

namespace {

// Points fds 0 and 2 at `in` and `err` for the life of the object.
class Redirect {
 public:
  Redirect(int in, int err) : saved_in_(::dup(0)), saved_err_(::dup(2)) {
    ::dup2(in, 0);
    ::dup2(err, 2);
  }
  ~Redirect() {
    ::dup2(saved_in_, 0);
    ::dup2(saved_err_, 2);
    ::close(saved_in_);
    ::close(saved_err_);
  }

 private:
  int saved_in_, saved_err_;
};

std::string drain(int fd) {
  std::string got;
  char buf[256];
  struct pollfd p = {fd, POLLIN, 0};
  while (::poll(&p, 1, 50) > 0) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

class MessageBoxes : public ::testing::Test {
 protected:
  void SetUp() override { qb_message_box_log_clear(); }
  void TearDown() override { qb_message_box_script(nullptr); }
};

TEST_F(MessageBoxes, ScriptedAnswersAreLogged) {
  std::vector<UINT> types;
  qb_message_box_script([&](const char* text, const char*, UINT type) {
    types.push_back(type);
    return std::string(text) == "stop?" ? IDYES : IDOK;
  });
  int null_fd = ::open("/dev/null", O_RDWR);
  Redirect quiet(null_fd, null_fd);
  EXPECT_EQ(MessageBoxA(nullptr, "stop?", "Quibbet Monitor", 0x1134), IDYES);
  EXPECT_EQ(MessageBoxA(nullptr, "broken", "Quibbet Monitor", MB_OK), IDOK);
  ::close(null_fd);
  std::vector<QbMessageBoxShown> log = qb_message_box_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].caption, "Quibbet Monitor");
  EXPECT_EQ(log[0].answer, IDYES);
  EXPECT_EQ(log[1].text, "broken");
  EXPECT_EQ(types, (std::vector<UINT>{0x1134, MB_OK}));
}

TEST_F(MessageBoxes, WithoutATerminalTheDefaultButtonAnswers) {
  int null_fd = ::open("/dev/null", O_RDWR);
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  {
    Redirect r(null_fd, p[1]);
    EXPECT_EQ(MessageBoxA(nullptr, "stop?", "Q", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2 | MB_SYSTEMMODAL), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "go?", "Q", MB_YESNO), IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "gone", "Q", MB_OK | MB_ICONERROR), IDOK);
  }
  std::string err = drain(p[0]);
  ::close(p[0]);
  ::close(p[1]);
  ::close(null_fd);
  EXPECT_NE(err.find("Q: stop?\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Q: gone\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("[y/N]"), std::string::npos) << err;  // nothing was asked
}

TEST_F(MessageBoxes, AskedOnATerminal) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) GTEST_SKIP() << "no pseudo-terminal here";
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  ASSERT_EQ(::write(master, "maybe\ny\n\n", 9), 9);
  int first, second;
  {
    Redirect r(slave, slave);
    first = MessageBoxA(nullptr, "stop?", "Q", MB_YESNO | MB_DEFBUTTON2);
    second = MessageBoxA(nullptr, "again?", "Q", MB_YESNO | MB_DEFBUTTON2);
  }
  std::string shown = drain(master);
  ::close(slave);
  ::close(master);
  EXPECT_EQ(first, IDYES);   // "maybe" asked again, then "y"
  EXPECT_EQ(second, IDNO);   // an empty line takes the default
  EXPECT_EQ(count_of(shown, "[y/N]"), 3) << shown;
}

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
  OutputDebugStringA("old call\n");  // the old channel is a trace too
  EXPECT_EQ(loud.finish(), "RENAME: a, b\nold call\n");
  EXPECT_EQ(log_.texts(LogKind::kTrace), (std::vector<std::string>{"\nDoResponse with 2\n", "RENAME: a, b\n", "old call\n"}));
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

// ---- tray ----------------------------------------------------------------------------

LRESULT CALLBACK quiet_proc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

TEST(Tray, ShowClickRemove) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = quiet_proc;
  wc.lpszClassName = "trayTest";
  RegisterClassA(&wc);
  HWND w = CreateWindowExA(0, "trayTest", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  qb_tray_log_clear();
  NOTIFYICONDATAA nid = {};
  nid.cbSize = 88;
  nid.hWnd = w;
  nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  nid.uCallbackMessage = WM_USER;
  nid.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(107));
  std::snprintf(nid.szTip, sizeof nid.szTip, "Quibbet Monitor");
  EXPECT_EQ(qb_icon_resource(nid.hIcon), 107);
  EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, &nid));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &nid));  // shown already
  ASSERT_EQ(qb_tray_icons().size(), 1u);
  EXPECT_STREQ(qb_tray_icons()[0].szTip, "Quibbet Monitor");

  EXPECT_TRUE(qb_tray_click(WM_LBUTTONDOWN));
  MSG msg;
  ASSERT_TRUE(wait_message(&msg));
  EXPECT_EQ(msg.hwnd, w);
  EXPECT_EQ(msg.message, WM_USER);
  EXPECT_EQ(msg.lParam, static_cast<LPARAM>(WM_LBUTTONDOWN));

  EXPECT_TRUE(Shell_NotifyIconA(NIM_DELETE, &nid));
  EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &nid));
  EXPECT_FALSE(qb_tray_click(WM_LBUTTONDOWN));
  EXPECT_EQ(qb_tray_log(), (std::vector<std::string>{"icon shown", "icon removed"}));
  DestroyWindow(w);
  UnregisterClassA("trayTest", nullptr);
}

}  // namespace
