// Two processes share one index file (shared mode) and change it at the same
// time: each inserts and deletes its own keys, with cursors walking the whole
// tree meanwhile. The byte-range locks must serialise the changes and the
// header refresh must keep each process's cached pages and cursors current:
// at the end every acknowledged insert not later deleted is present, nothing
// else is, and the tree is sound.
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "btree/btree.h"
#include "btree/index_file.h"
#include "support/fork_helper.h"
#include "support/temp_dir.h"

namespace {

constexpr int kOps = 2000;  // operations per process
constexpr int kKeys = 600;  // key indexes per process
constexpr int kMeetEvery = 250;  // the processes wait for each other this often

// Keys of the two processes interleave in the tree: "00012c" < "00012p" < "00013c".
std::string key_of(int index, char who) {
  char buf[16];
  snprintf(buf, sizeof buf, "%05d%c", index, who);
  return buf;
}

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Reads one cursor entry: its key and ref. 1 / -1.
int cursor_entry(IndexHandle* h, std::string* key, int32_t* ref) {
  int length = 0;
  if (ix_current_key_length(h, &length) != 1) return -1;
  key->assign(length, '\0');
  if (ix_current_key(h, reinterpret_cast<uint8_t*>(key->data()), length) != 1) return -1;
  return ix_current(h, ref) == 1 ? 1 : -1;
}

// The two processes meet every kMeetEvery operations, so neither can finish
// before the other has started: the parent sends first, the child answers.
int meet(bool parent, int in_fd, int out_fd) {
  char b = 0;
  if (parent) return send_byte(out_fd, 'm') == 1 && recv_byte(in_fd, &b) == 1 ? 1 : -1;
  return recv_byte(in_fd, &b) == 1 && send_byte(out_fd, 'm') == 1 ? 1 : -1;
}

// A lock held elsewhere for longer than the retries allow (a commit waiting on
// a slow disk) fails an operation with ix_error 29 before it changes
// anything; such an operation is simply not acknowledged.
bool lock_busy(int rc) { return rc == -1 && ix_error == kIxLockFailed; }

// One process's share of the work. Returns 0, or a nonzero code after
// printing what went wrong. `present` ends as this process's acknowledged state.
int work(const std::string& path, char who, uint32_t seed, int in_fd, int out_fd, std::vector<char>* present) {
  IndexHandle* h = ix_open(path.c_str(), nullptr, 1, 0);
  IndexHandle* walker = ix_open(path.c_str(), nullptr, 1, 0);
  if (h == nullptr || walker == nullptr) {
    fprintf(stderr, "[%c] open failed, ix_error %d\n", who, ix_error);
    return 2;
  }
  std::mt19937 rng(seed);
  present->assign(kKeys, 0);
  std::string last_key;  // the walker's previous entry ("" before the first)
  int32_t last_ref = 0;
  int others_met = 0;  // entries of the other process the walker stood on
  int busy = 0;        // operations refused with ix_error 29
  int moved = 0;       // entries of the other process deleted under the walker
  for (int op = 0; op < kOps; ++op) {
    if (op > 0 && op % kMeetEvery == 0 && meet(who == 'p', in_fd, out_fd) != 1) {
      fprintf(stderr, "[%c] op %d: the other process did not answer\n", who, op);
      return 11;
    }
    int index = static_cast<int>(rng() % kKeys);
    std::string key = key_of(index, who);
    if ((*present)[index]) {
      int rc = ix_delete(h, bytes(key), (int)key.size(), index);
      if (rc == 1) {
        (*present)[index] = 0;
      } else if (lock_busy(rc)) {
        ++busy;
      } else {
        fprintf(stderr, "[%c] op %d: delete %s failed, ix_error %d\n", who, op, key.c_str(), ix_error);
        return 3;
      }
    } else {
      int rc = ix_insert(h, bytes(key), (int)key.size(), index, 0);
      if (rc == 1) {
        (*present)[index] = 1;
      } else if (lock_busy(rc)) {
        ++busy;
      } else {
        fprintf(stderr, "[%c] op %d: insert %s failed, ix_error %d\n", who, op, key.c_str(), ix_error);
        return 4;
      }
    }

    // The walker moves forward only; any key of this process it meets must be
    // present, since only this process changes its keys.
    int32_t ref = 0;
    int rc = ix_next(walker, &ref);
    if (rc == -3) {
      last_key.clear();
      int32_t unused = 0;
      ix_prev(walker, &unused);  // back from the end, then on to before the first
      while (ix_prev(walker, &unused) == 1) {
      }
    } else if (lock_busy(rc)) {
      ++busy;
    } else if (rc != 1) {
      fprintf(stderr, "[%c] op %d: walker next gave %d, ix_error %d\n", who, op, rc, ix_error);
      return 5;
    } else {
      std::string got;
      int32_t got_ref = 0;
      int got_rc = cursor_entry(walker, &got, &got_ref);
      if (lock_busy(got_rc)) {
        ++busy;
        continue;
      }
      if (got_rc != 1 || got_ref != ref) {
        // The entry the walker stepped onto may be the other process's, which
        // that process may delete before the walker reads it: the cursor then
        // warns (31) and stands on the next entry. Only if this process's key
        // of that reference is missing too can the vanished entry have been
        // its own, which only this process deletes.
        const std::string own = key_of(ref, who);
        int32_t found = -1;
        const bool own_there = ref < 0 || ref >= kKeys || !(*present)[ref] ||
                               (ix_find(h, bytes(own), (int)own.size(), &found) == 2 && found == ref);
        if (got_rc == 1 && own_there) {
          ++moved;
          continue;
        }
        fprintf(stderr, "[%c] op %d: walker cannot read its entry, ix_error %d\n", who, op, ix_error);
        return 6;
      }
      if (!last_key.empty() && (got < last_key || (got == last_key && got_ref <= last_ref))) {
        fprintf(stderr, "[%c] op %d: walker went back from %s to %s\n", who, op, last_key.c_str(), got.c_str());
        return 7;
      }
      if (got.size() == 6 && got[5] == who && (got_ref < 0 || got_ref >= kKeys || !(*present)[got_ref])) {
        fprintf(stderr, "[%c] op %d: walker met %s, which this process does not hold\n", who, op, got.c_str());
        return 8;
      }
      if (got.size() == 6 && got[5] != who) ++others_met;
      last_key = got;
      last_ref = got_ref;
    }

    // Now and then a find of one of this process's own keys.
    if (op % 16 == 0) {
      int probe = static_cast<int>(rng() % kKeys);
      std::string pk = key_of(probe, who);
      int32_t found = 0;
      rc = ix_find(h, bytes(pk), (int)pk.size(), &found);
      if (lock_busy(rc)) {
        ++busy;
      } else if ((*present)[probe] ? (rc != 2 || found != probe) : rc == 2) {
        fprintf(stderr, "[%c] op %d: find %s gave %d (ref %d), present %d\n", who, op, pk.c_str(), rc, found,
                (*present)[probe]);
        return 9;
      }
    }
  }
  if (busy > 0) fprintf(stderr, "[%c] %d operations found the lock held too long (ix_error 29)\n", who, busy);
  if (moved > 0) fprintf(stderr, "[%c] the other process deleted the walker's entry %d times\n", who, moved);
  if (busy > kOps / 4) return 13;
  if (others_met == 0) {
    fprintf(stderr, "[%c] the walker never met an entry of the other process\n", who);
    return 12;
  }
  if (ix_close(walker) != 1 || ix_close(h) != 1) {
    fprintf(stderr, "[%c] close failed, ix_error %d\n", who, ix_error);
    return 10;
  }
  return 0;
}

int write_all(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w <= 0) return -1;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return 1;
}

int read_all(int fd, char* data, size_t n) {
  while (n > 0) {
    struct pollfd p = {fd, POLLIN, 0};
    if (::poll(&p, 1, 120000) <= 0) return -1;
    ssize_t r = ::read(fd, data, n);
    if (r <= 0) return -1;
    data += r;
    n -= static_cast<size_t>(r);
  }
  return 1;
}

class TreeForkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ix_startup(16, 4096), 1); }
  void TearDown() override { ix_shutdown(); }
  TempDir dir_;
};

TEST_F(TreeForkTest, TwoWritersWithWalkingCursorsKeepEveryAcknowledgedInsert) {
  const std::string path = dir_.file("shared.idx");
  IndexHandle* made = ix_create(path.c_str(), nullptr, 92);  // small pages: many splits and merges
  ASSERT_NE(made, nullptr);
  ASSERT_EQ(ix_close(made), 1);  // nothing of the file may be open across the fork

  Child child = fork_child([&](int in_fd, int out_fd) {
    char go = 0;
    if (recv_byte(in_fd, &go) != 1) return 20;
    std::vector<char> present;
    int rc = work(path, 'c', 1001, in_fd, out_fd, &present);
    if (rc != 0) return rc;
    return write_all(out_fd, present.data(), present.size()) == 1 ? 0 : 21;
  });
  ASSERT_GT(child.pid, 0);
  ASSERT_EQ(send_byte(child.to_child, 'g'), 1);

  std::vector<char> mine;
  int my_rc = work(path, 'p', 2002, child.from_child, child.to_child, &mine);
  std::vector<char> theirs(kKeys, 0);
  int read_rc = read_all(child.from_child, theirs.data(), theirs.size());
  int child_rc = wait_child(child);
  ASSERT_EQ(my_rc, 0) << "parent's work failed (see stderr)";
  ASSERT_EQ(child_rc, 0) << "child's work failed (see stderr)";
  ASSERT_EQ(read_rc, 1);

  std::set<std::pair<std::string, int32_t>> expected;
  for (int i = 0; i < kKeys; ++i) {
    if (mine[i]) expected.insert({key_of(i, 'p'), i});
    if (theirs[i]) expected.insert({key_of(i, 'c'), i});
  }

  IndexHandle* h = ix_open(path.c_str(), nullptr, 1, 0);
  ASSERT_NE(h, nullptr);
  std::set<std::pair<std::string, int32_t>> found;
  int32_t ref = 0;
  int rc;
  while ((rc = ix_next(h, &ref)) == 1) {
    std::string key;
    ASSERT_EQ(cursor_entry(h, &key, &ref), 1);
    EXPECT_TRUE(found.insert({key, ref}).second) << key << " met twice";
    ASSERT_LE(found.size(), 2u * kKeys);
  }
  EXPECT_EQ(rc, -3);
  for (const auto& e : expected) EXPECT_TRUE(found.count(e)) << "acknowledged " << e.first << " is missing";
  for (const auto& e : found) EXPECT_TRUE(expected.count(e)) << e.first << " is present but was never kept";
  EXPECT_EQ(h->file->header.entry_total, static_cast<int32_t>(expected.size()));

  std::string findings;
  EXPECT_EQ(ix_verify(h, [](void* ctx, const char* t) { *static_cast<std::string*>(ctx) += std::string(t) + "\n"; },
                      &findings, 20),
            0)
      << findings;
  EXPECT_EQ(ix_close(h), 1);
}

}  // namespace
