// The single-instance lock: one Monitor per state folder.
//
// The lock is the file `<state>/mutex-<name>`: the Monitor that runs holds
// an open-file-description write lock on it (fcntl F_OFD_SETLK) and the file
// holds its pid in decimal, followed by a line break. A lock, unlike a pid,
// cannot outlive its process: the kernel drops it when the process ends, so
// a killed Monitor never keeps another from starting. Readers check the
// lock before the pid.
//
// Callers: qbmon's start (take), `qbmon --stop` and tests (owner, wait).
// Any thread.
#pragma once

#include <sys/types.h>

// Takes the lock for this process, for the rest of its life. 1 taken; 0
// another process holds it; -1 with errno when the file cannot be made.
int qb_instance_lock_take(const char* name);

// The pid of the process holding the lock: 0 when none holds it; -1 with
// errno when the file cannot be read (EAGAIN: held, but the pid is not
// written yet).
pid_t qb_instance_lock_owner(const char* name);

// Waits until no process holds the lock, or `timeout_ms` has passed (-1:
// no limit). True when free.
bool qb_instance_lock_wait_free(const char* name, int timeout_ms);
