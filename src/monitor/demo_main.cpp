// qbdemo: what the engine's lower floors can do so far, shown on a scratch
// index file. `make run` starts it until the Monitor takes its place.
//
// It starts the page cache with the Monitor's settings (16 frames of 512
// bytes), creates an index file in a temporary folder, files a few paths
// under record numbers, finds one by a differently cased path, walks the
// tree in order, deletes an entry, and runs the structural verifier.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "btree/btree.h"
#include "btree/index_file.h"

namespace {

const uint8_t* bytes(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

void print_finding(void*, const char* finding) { std::printf("  verifier: %s\n", finding); }

int fail(const char* what) {
  std::fprintf(stderr, "qbdemo: %s failed (ix_error %d, site %d)\n", what, ix_last_error(), ix_last_error_site());
  return 1;
}

}  // namespace

int main() {
  char dir[] = "/tmp/qbdemo.XXXXXX";
  if (::mkdtemp(dir) == nullptr) {
    std::perror("qbdemo: mkdtemp");
    return 1;
  }
  std::string name = std::string(dir) + "/demo.idx";
  std::printf("Quibbet: notes that follow files. The Monitor is not built yet;\n"
              "this is a tour of the index layer it will stand on.\n\n");

  if (ix_startup(16, 512) != 1) return fail("ix_startup");
  std::printf("page cache: %d frames of %d bytes\n", ix_started_frames(), ix_started());

  IndexHandle* h = ix_create(name.c_str(), nullptr, 512);
  if (h == nullptr) return fail("ix_create");
  const char* paths[] = {"/home/ada/notes.txt", "/home/ada/Projects/engine.cpp", "/home/ada/todo.md",
                         "/home/bob/report.odt", "/home/bob/Photos/cat.jpg", "/srv/share/README"};
  int32_t ref = 100;
  for (const char* p : paths) {
    if (ix_insert(h, bytes(p), static_cast<int>(std::strlen(p)), ref, 0) != 1) return fail("ix_insert");
    std::printf("filed   %-32s as record %d\n", p, ref);
    ref += 100;
  }
  // A second entry for the same path is refused: the path index is unique.
  if (ix_insert(h, bytes(paths[0]), static_cast<int>(std::strlen(paths[0])), 999, 0) == -1)
    std::printf("refused a second entry for %s (ix_error %d)\n", paths[0], ix_last_error());

  const char* probe = "/HOME/ADA/TODO.MD";
  int32_t found = 0;
  int rc = ix_find(h, bytes(probe), static_cast<int>(std::strlen(probe)), &found);
  std::printf("\nfind %s -> %s, record %d (A-Z compare without case)\n", probe, rc == 2 ? "found" : "not found",
              found);

  std::printf("\nin order:\n");
  IndexHandle* walk = ix_open(name.c_str(), nullptr, 0, 1);
  if (walk == nullptr) return fail("ix_open");
  char key[512];
  while (ix_next(walk, &found) == 1) {
    int len = 0;
    ix_current_key_length(walk, &len);
    ix_current_key(walk, reinterpret_cast<uint8_t*>(key), static_cast<int>(sizeof key) - 1);
    key[len < static_cast<int>(sizeof key) ? len : static_cast<int>(sizeof key) - 1] = '\0';
    std::printf("  %-32s record %d\n", key, found);
  }
  if (ix_delete(h, bytes(paths[3]), static_cast<int>(std::strlen(paths[3])), 400) != 1) return fail("ix_delete");
  std::printf("\ndeleted %s\n", paths[3]);

  int findings = ix_verify(h, print_finding, nullptr, 10);
  std::printf("verifier: %s\n", findings == 0 ? "the index file is sound" : "problems found");
  const IndexHeader& hd = h->file->header;
  std::printf("header: %d entries, height %d, last page %d, %d changes\n", hd.entry_total, hd.height, hd.last_page,
              hd.change_count);

  ix_close(walk);
  ix_close(h);
  ix_shutdown();
  std::string cleanup = name;
  ::unlink(cleanup.c_str());
  ::rmdir(dir);
  return findings == 0 ? 0 : 1;
}
