// Reporting a copy to the running driver, and asking it for its status: the
// client side of the driver's report socket, for programs that copy files on the user's behalf (qbnote
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
//   client: "STATUS" NUL
//   driver: "STATUS " <n> "\n" and then n bytes of lines "<name> <value>\n",
//           the driver's and the Monitor's facts (a backslash and a line
//           break inside a value are sent as \\ and \n):
//             pid <n>                 the Monitor's process
//             started <s>             when its driver opened (seconds since the epoch)
//             root <path>             one line per root watched
//             waiting <path>          one line per root waited for (not there)
//             folders_watched <n>     folders with a watch
//             folders_ignored <n>     folders not entered for their name
//             mounts_not_crossed <n>  other file systems' mount points not entered
//             folders_unwatched <n>   folders left unwatched at the watch limit
//             overflows <n>           the kernel's event queue overflowed
//             events_queued <n>       file events queued for the event thread
//             events_handled <n>      and handled by it
//             last_report <kind> <s> <text>  the last warning or error
//                                     (kind "warning" or "error")
//           Names not known to a reader are skipped by it: lines may be added.
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
#include <string>

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

// Asks the running driver for its status: 1 with the answer's body (the
// lines above); 0 when no Monitor runs; -1 with errno set (EPROTO for an
// answer that is not one, or none within two seconds).
int qb_ask_status(std::string* body);
