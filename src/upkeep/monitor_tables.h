// The Monitor's two table handles: the notes table and the temporary table
// of notes set aside, opened by openDatabase and closed by closeDatabase.
//
// Lifetime: notesTable is constructed before tempTable (one translation
// unit, database.cpp, in that order) and destroyed after it. The engine's
// shutdown, registered with atexit when the engine first starts, runs before
// these destructors and closes every table still open; the destructors then
// find nothing open that they could close.
//
// Only the Monitor (and the recovery it shares with qbnote, inside upkeep/)
// works on these: qbnote opens tables of its own, and the layering test
// keeps notes/ from reaching this header. The handles and the engine are
// used by one thread at a time (tracking/table_guard.h).
#pragma once

#include "table_handle/table_handle.h"

extern TableHandle notesTable;
extern TableHandle tempTable;
extern TableHandle idTable;  // the identity table (identity_table.h)
