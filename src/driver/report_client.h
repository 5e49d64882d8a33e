// Reporting a copy to the running driver: the client side of the driver's
// report socket, for programs that copy files on the user's behalf (qbnote
// cp) so that the copy gets the source's note. The kernel tells a watcher
// that a file was created, never that it was copied from another, so the
// copier has to say so.
//
// Protocol, over the Unix stream socket <state>/driver.sock (mode 0600; the
// driver serves peers of its own user only):
//
//   client: "COPY " <source path> NUL <target path> NUL
//   driver: "OK\n"             the copy is queued as an OP_COPY event
//           "ERR <reason>\n"   refused (a path not absolute, too long)
//
// Several requests may follow each other on one connection. Paths are sent
// in the canonical form (platform/canonical_path.h) made by the client,
// which alone knows the folder a relative path was given against; the
// driver takes them as they come.
//
// Callers: any program (notes/ may include this header of driver/ and no
// other); any thread. No state of its own.
#pragma once

#include <cstddef>

// The socket's name in the state folder.
constexpr char kReportSocketName[] = "driver.sock";
// The longest request the driver accepts, both paths and terminators
// included.
constexpr size_t kReportRequestMax = 2 * 4096 + 16;

// Reports that `source` was copied to `target`. 1 when the driver took it;
// 0 when no driver is listening (no Monitor runs); -1 with errno set on
// any other failure (EPROTO when the driver refused the request or gave
// no answer within two seconds).
int qb_report_copy(const char* source, const char* target);
