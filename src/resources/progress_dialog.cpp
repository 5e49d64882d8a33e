#include "resources/progress_dialog.h"

const char kStatusBackingUp[] = "\n Backing up the Quibbet Database...";
const char kStatusOptimizing[] = "\n Optimizing the Quibbet Database...";

static const DialogControl kProgressControls[] = {
    {-1, ControlClass::kStatic, WS_CHILD | WS_VISIBLE | SS_LEFT, 25, 23, 209, 29,
     "Quibbet is optimizing your notes.  If you are shutting down Windows you may see a dialog box "
     "indicating that a program is not responding.  Select the Wait option so this process can "
     "complete."},
    {IDC_GROUP, ControlClass::kButton, WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 23, 66, 210, 45, "Status"},
    {IDC_STATUS, ControlClass::kStatic, WS_CHILD | WS_VISIBLE | SS_LEFT, 31, 81, 193, 20, ""},
};

const DialogTemplate kProgressDialog = {
    IDD_PROGRESS,
    WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_SETFONT | DS_CENTER,
    0, 0, 257, 134,
    "Optimizing the Quibbet Database",
    "MS Sans Serif", 10,
    kProgressControls,
    static_cast<int>(sizeof kProgressControls / sizeof kProgressControls[0]),
};

static const DialogTemplate* const kDialogs[] = {&kProgressDialog};

static QbModule g_module = {"qbmon", kDialogs, 1};

HINSTANCE qb_resources() { return &g_module; }
