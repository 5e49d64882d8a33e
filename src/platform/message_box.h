// Message boxes: MessageBoxA, for the Monitor's fatal errors and its one
// question (stop the Monitor?).
//
// On Linux a box is text: "<caption>: <text>" on standard error and, with
// line breaks turned into blanks, in the system log (syslog, ident "qbmon",
// facility user; warning level for MB_ICONWARNING, error level for
// MB_ICONERROR, notice otherwise). The answer:
//   - a script set by qb_message_box_script answers when there is one
//     (tests);
//   - MB_OK answers IDOK at once;
//   - a question (MB_OKCANCEL, MB_YESNOCANCEL, MB_YESNO) is asked on the
//     terminal when standard input and standard error both are terminals:
//     the choices are printed with the default in capitals ("[y/N]"), a
//     line is read from standard input, its first letter chooses, an empty
//     line or end of input takes the default, anything else asks again;
//   - otherwise the default button answers: the first button, the second
//     with MB_DEFBUTTON2, the third with MB_DEFBUTTON3. A Monitor started
//     without a terminal thus answers "stop?" with No when No is the default.
// Every box shown is appended to a log that tests read.
//
// The owner window and MB_SYSTEMMODAL are accepted and change nothing.
//
// Threads: any thread; one box at a time (a process-wide lock is held while
// a box is shown and answered). A script may read the log but must not show
// a box itself.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win_types.h"

constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_YESNOCANCEL = 0x3;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_DEFBUTTON2 = 0x100;
constexpr UINT MB_DEFBUTTON3 = 0x200;
constexpr UINT MB_SYSTEMMODAL = 0x1000;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Answers every following box with `answer(text, caption, type)`; an empty
// function goes back to the terminal and the default button.
void qb_message_box_script(std::function<int(const char* text, const char* caption, UINT type)> answer);

struct QbMessageBoxShown {
  std::string text;
  std::string caption;
  UINT type;
  int answer;
};
std::vector<QbMessageBoxShown> qb_message_box_log();
void qb_message_box_log_clear();
