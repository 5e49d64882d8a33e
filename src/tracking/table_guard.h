// The one lock around the Monitor's table handles.
//
// The engine, the page cache and the two global table handles (notesTable,
// tempTable) have no locks of their own. Two threads can reach them: the
// event thread, where the driver's queued calls run DoResponse, and the
// window's thread, where DoResponse runs for events posted as a window
// message and where the shutdown work closes, backs up and compacts the
// notes table. Whoever works on the handles holds this mutex for the whole
// piece of work:
//   - DoResponse, from its first table call to its last (it is released
//     before the acknowledgement, so a driver that hands over the next
//     record at once never finds it held);
//   - the Monitor, around closeDatabase and anything else it does to the
//     handles after start-up.
// openDatabase at start needs it only if events could already arrive, which
// they cannot before the driver is registered.
//
// Not recursive: DoResponse must not be called with it held.
#pragma once

#include <mutex>

std::mutex& tracking_table_mutex();
