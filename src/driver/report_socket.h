// The listening side of the copy reports and status requests (protocol in
// report_client.h):
// the Unix socket <state>/driver.sock, on which programs of the user tell
// the driver that they copied a file, which becomes an OP_COPY event.
//
// The socket file is made with mode 0600 in the state folder (itself 0700),
// and each connection is checked once more by the peer's credentials
// (SO_PEERCRED): only processes of the driver's own user are heard. A
// connection that sends what is not a request, or more than
// kReportRequestMax bytes without completing one, is answered "ERR" and
// closed. At most kReportPeers connections are served at once; the oldest
// goes when another comes.
//
// Everything is non-blocking: the reader thread polls the descriptors this
// unit hands it (rs_poll_fds) and calls rs_service with the results.
//
// Callers: the reader thread only; no locking.
#pragma once

#include <poll.h>

#include <string>
#include <vector>

#include "driver/driver_event.h"

constexpr size_t kReportPeers = 16;

struct ReportSocket {
  struct Peer {
    int fd = -1;
    std::string pending;  // bytes of a request not yet complete
  };
  int listen_fd = -1;
  std::string path;
  std::vector<Peer> peers;
  // The body of the answer to a status request; null: status is refused.
  std::string (*status)(void* context) = nullptr;
  void* status_context = nullptr;
};

// Listens on `path`, replacing a file left there by a driver that did not
// close cleanly. 1, or -1 with errno set.
int rs_open(ReportSocket* s, const std::string& path);
// Closes every connection and the socket, and removes the socket file.
void rs_close(ReportSocket* s);

// Appends the descriptors to poll for reading (the listening socket, then
// each connection); rs_service expects them back in the same order.
void rs_poll_fds(const ReportSocket& s, std::vector<pollfd>* fds);
// Accepts and reads what `fds` (as rs_poll_fds made them, with revents set)
// say is ready; appends an OP_COPY for each complete copy request, and
// answers each status request at once.
void rs_service(ReportSocket* s, const pollfd* fds, size_t count, std::vector<FileEvent>* out);
