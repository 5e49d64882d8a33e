// The program's resources, as data: the progress dialog shown while the
// notes table is backed up and compacted at shutdown, its status texts, and
// the module (HINSTANCE) that holds the templates.
//
// Layout of dialog 108 (dialog units; centred on the screen; caption
// "Optimizing the Quibbet Database"; MS Sans Serif 10 pt; 257 x 134):
//
//    id     kind                at      size       text
//    -1     static, left        25,23   209 x 29   the request to wait
//    1001   group box           23,66   210 x 45   "Status"
//    1000   static, left        31,81   193 x 20   the status line, empty
//
// Callers: the upkeep code (creates the dialog and sets the status line) and
// the Monitor's start-up (passes qb_resources() as its instance handle).
// Constant data only; safe from any thread.
#pragma once

#include "platform/dialogs.h"

constexpr int IDD_PROGRESS = 108;
constexpr int IDC_STATUS = 1000;
constexpr int IDC_GROUP = 1001;

extern const DialogTemplate kProgressDialog;

// Status lines for control IDC_STATUS, in the order the work runs.
extern const char kStatusBackingUp[];
extern const char kStatusOptimizing[];

// The program's module: every template defined in resources/.
HINSTANCE qb_resources();
