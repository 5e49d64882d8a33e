// Copies reported through the driver's socket, as qbnote cp reports them.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "driver/driver_fixture.h"
#include "driver/report_client.h"
#include "platform/state_dir.h"

using CopyReport = DriverTest;

namespace {

// Sends `bytes` on a new connection and returns the answer line.
std::string raw_request(const std::string& bytes) {
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string path = qb_state_path(kReportSocketName);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return "no connection";
  }
  timeval limit = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  (void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string answer;
  char c;
  while (recv(fd, &c, 1, 0) == 1 && c != '\n') answer += c;
  close(fd);
  return answer;
}

}  // namespace

TEST_F(CopyReport, AReportedCopyIsDeliveredAsCopy) {
  ASSERT_TRUE(write_whole_file(file("src"), "x"));
  ASSERT_TRUE(write_whole_file(file("dst"), "x"));
  load();
  ASSERT_EQ(qb_report_copy(file("src").c_str(), file("dst").c_str()), 1);
  EXPECT_TRUE(wait_for(OP_COPY, file("src"), file("dst")));
}

TEST_F(CopyReport, PathsAreSentInCanonicalForm) {
  ::mkdir(file("d").c_str(), 0700);
  ASSERT_EQ(::symlink(file("d").c_str(), (outside_ + "/link").c_str()), 0);
  load();
  // Through a link to a folder of the root: the folder part is resolved.
  ASSERT_EQ(qb_report_copy((outside_ + "/link/a").c_str(), (outside_ + "/link/./b").c_str()), 1);
  EXPECT_TRUE(wait_for(OP_COPY, file("d/a"), file("d/b")));
}

TEST_F(CopyReport, WithoutADriverNobodyListens) {
  EXPECT_EQ(qb_report_copy(file("a").c_str(), file("b").c_str()), 0);
  // A socket file left behind by a driver that died is no listener either.
  const std::string path = qb_state_path(kReportSocketName);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
  EXPECT_EQ(qb_report_copy(file("a").c_str(), file("b").c_str()), 0);
  // ... and the driver replaces it.
  load();
  EXPECT_EQ(qb_report_copy(file("a").c_str(), file("b").c_str()), 1);
}

TEST_F(CopyReport, WhatIsNotARequestIsRefused) {
  load();
  EXPECT_EQ(raw_request("HELLO"), "ERR not a request");
  EXPECT_EQ(raw_request(std::string("COPY relative\0/abs\0", 19)), "ERR paths must be absolute");
  EXPECT_EQ(raw_request("COPY " + std::string(kReportRequestMax, 'x')), "ERR not a request");
  // Two requests in one send, both taken.
  std::string two = "COPY " + file("p") + '\0' + file("q") + '\0' + "COPY " + file("q") + '\0' + file("r") + '\0';
  EXPECT_EQ(raw_request(two), "OK");
  EXPECT_TRUE(wait_for(OP_COPY, file("p"), file("q")));
  EXPECT_TRUE(wait_for(OP_COPY, file("q"), file("r")));
}
