// Catching up with what the Monitor did not see: notes whose files moved
// while it was not running (or while the kernel dropped events) are found
// again by the files' identities (upkeep/identity_table.h).
//
// Two steps around a listing of every watched folder, which the driver
// makes anyway to set its watches:
//   reconcileBegin  looks at every note's path. A file there has its
//                   identity recorded (or refreshed); a path with nothing
//                   there whose identity is recorded is "lost", and its
//                   inode number goes into the probe, so that the listing
//                   notes every entry with that number (event/identity_probe.h).
//   reconcileEnd    takes the listing's candidates. A lost note moves to a
//                   candidate when exactly one candidate path is its file:
//                   device, inode number and birth time equal (without a
//                   birth time on either side, device and inode alone,
//                   which is why a single candidate is required); its path
//                   is still empty; the candidate has no note; and no
//                   other lost note claims the same file. A folder's note
//                   brings the notes inside along (walkFolder).
// A note whose path holds a file is never moved: a file put back in place
// keeps its note, whatever else matches. A note of a file not found again
// stays where it is (`qbnote ls --missing` lists it).
//
// Traced: "RECONCILED: <old>, <new>\n" for each note moved, "RECONCILE
// AMBIGUOUS: <old>\n" when several files match one note or several notes
// one file. A notice tells how many notes found their files again.
//
// Uses notesTable, tempTable, idTable and lockId. Callers: the event
// thread, with tracking_table_mutex() held for each step, and nothing of
// the tables touched between the two but by the listing.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "event/identity_probe.h"
#include "platform/file_identity.h"

struct Reconciliation {
  struct Lost {
    std::string path;
    FileIdentity id;
  };
  std::vector<Lost> lost;
  size_t notes = 0;     // notes looked at
  size_t recorded = 0;  // identities recorded or refreshed
};

void reconcileBegin(Reconciliation* r, IdentityProbe* probe);
// The number of notes moved.
size_t reconcileEnd(const Reconciliation& r, const IdentityProbe& probe);
