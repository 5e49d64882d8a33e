// Running a piece of a test in a child process, with pipes to hand off
// between parent and child. The child never returns into the test framework:
// it ends with _exit(status), and the parent reads that status.
#pragma once

#include <functional>
#include <sys/types.h>

struct Child {
  pid_t pid = -1;
  int to_child = -1;    // parent writes here
  int from_child = -1;  // parent reads here
};

// Forks; the child runs body(read_fd, write_fd) and _exits with its result.
Child fork_child(const std::function<int(int in_fd, int out_fd)>& body);
// Waits for the child; its exit status, or -1 if it died by a signal.
int wait_child(Child& c);
// One byte across a pipe, so two processes can take turns. 1 / -1 (timeout in ms).
int send_byte(int fd, char b);
int recv_byte(int fd, char* b, int timeout_ms = 20000);
// Waits until the reader of the pipe (or fifo) whose write end is `fd` has
// read everything written to it; false after 10 s.
bool wait_pipe_read(int fd);
