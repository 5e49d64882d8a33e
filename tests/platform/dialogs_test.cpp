// Dialogs from a module's templates: the log of what happened, the control
// texts, bad handles and ids, and the lines a terminal gets.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/dialogs.h"
#include "platform/files.h"

namespace {

const DialogControl kControls[] = {
    {-1, ControlClass::kStatic, WS_CHILD | SS_LEFT, 5, 5, 100, 10, "Please wait."},
    {20, ControlClass::kStatic, WS_CHILD | SS_LEFT, 5, 20, 100, 10, ""},
};
const DialogTemplate kVisible = {7, WS_POPUP | WS_VISIBLE | WS_CAPTION, 0, 0, 120, 40, "Working", "MS Sans Serif", 10,
                                 kControls, 2};
const DialogTemplate kHidden = {8, WS_POPUP | WS_CAPTION, 0, 0, 120, 40, "Quiet", "MS Sans Serif", 10, kControls, 2};
const DialogTemplate* const kTemplates[] = {&kVisible, &kHidden};
QbModule g_module = {"test", kTemplates, 2};

std::vector<UINT> g_messages;
LPARAM g_init_param = 0;
INT_PTR record(HWND, UINT msg, WPARAM, LPARAM lp) {
  g_messages.push_back(msg);
  if (msg == WM_INITDIALOG) g_init_param = lp;
  return 0;
}

class Dialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    qb_dialog_log_clear();
    g_messages.clear();
  }
};

TEST_F(Dialogs, LogRecordsTheDialogsLife) {
  HWND d = CreateDialogParamA(&g_module, 7, nullptr, record, 1234);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(qb_is_dialog(d));
  EXPECT_EQ(g_init_param, 1234);
  EXPECT_TRUE(ShowWindow(d, SW_SHOW));  // already visible
  EXPECT_TRUE(SetDlgItemTextA(d, 20, "\n Step one..."));
  EXPECT_TRUE(RedrawWindow(d, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN));
  char buf[8];
  EXPECT_EQ(GetDlgItemTextA(d, 20, buf, sizeof buf), 7u);  // cut to fit, terminated
  EXPECT_STREQ(buf, "\n Step ");
  EXPECT_TRUE(DestroyWindow(d));
  EXPECT_FALSE(qb_is_dialog(d));
  std::vector<std::string> want = {"create 7: Working", "show", "text 20: \n Step one...", "redraw", "destroy"};
  EXPECT_EQ(qb_dialog_log(), want);
  EXPECT_EQ(g_messages, (std::vector<UINT>{WM_INITDIALOG, WM_DESTROY}));
}

TEST_F(Dialogs, HiddenUntilShown) {
  HWND d = CreateDialogParamA(&g_module, 8, nullptr, nullptr, 0);
  ASSERT_NE(d, nullptr);
  EXPECT_FALSE(ShowWindow(d, SW_SHOW));
  EXPECT_TRUE(ShowWindow(d, SW_HIDE));
  DestroyWindow(d);
  EXPECT_EQ(qb_dialog_log(), (std::vector<std::string>{"create 8: Quiet", "show", "hide", "destroy"}));
}

TEST_F(Dialogs, BadIdsAndHandlesFail) {
  EXPECT_EQ(CreateDialogParamA(&g_module, 99, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(CreateDialogParamA(nullptr, 7, nullptr, nullptr, 0), nullptr);
  HWND d = CreateDialogParamA(&g_module, 7, nullptr, nullptr, 0);
  EXPECT_FALSE(SetDlgItemTextA(d, 21, "x"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
  EXPECT_TRUE(DestroyWindow(d));
  EXPECT_FALSE(DestroyWindow(d));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_FALSE(SetDlgItemTextA(d, 20, "x"));
  EXPECT_FALSE(RedrawWindow(d, nullptr, nullptr, RDW_UPDATENOW));
}

// Runs `body` with standard error sent to `fd`; returns what `reader` had.
std::string stderr_through(int fd, int reader, void (*body)()) {
  int saved = ::dup(2);
  ::dup2(fd, 2);
  body();
  ::dup2(saved, 2);
  ::close(saved);
  std::string got;
  char buf[512];
  struct pollfd p = {reader, POLLIN, 0};
  while (::poll(&p, 1, 100) > 0) {
    ssize_t n = ::read(reader, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

void run_dialog() {
  HWND d = CreateDialogParamA(&g_module, 7, nullptr, nullptr, 0);
  SetDlgItemTextA(d, 20, "\n Step one...");
  DestroyWindow(d);
}

TEST_F(Dialogs, ATerminalSeesCaptionAndStatusLines) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) GTEST_SKIP() << "no pseudo-terminal here";
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  std::string got = stderr_through(slave, master, run_dialog);
  ::close(slave);
  ::close(master);
  EXPECT_NE(got.find("Working"), std::string::npos) << got;
  EXPECT_NE(got.find("Please wait."), std::string::npos) << got;
  EXPECT_NE(got.find("  Step one..."), std::string::npos) << got;
  EXPECT_EQ(got.find("\n Step"), std::string::npos) << got;  // leading line break dropped
}

TEST_F(Dialogs, WithoutATerminalNothingIsPrinted) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  std::string got = stderr_through(p[1], p[0], run_dialog);
  ::close(p[1]);
  ::close(p[0]);
  EXPECT_EQ(got, "");
  EXPECT_EQ(qb_dialog_log().size(), 4u);  // the log is kept all the same
}

}  // namespace
