// The findings of a verifier gathered into one text, and the check a damage
// table makes on them after each damaging step.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The finding sink of ix_verify and tb_verify: appends the finding and a
// newline to the std::string at `ctx`.
inline void collect_finding(void* ctx, const char* text) {
  *static_cast<std::string*>(ctx) += std::string(text) + "\n";
}

// What the verifier should say after a damaging step: at least `count`
// findings (exactly that many when `exactly`), and for each of `words` a
// finding containing it. "{n}" in a word stands for the number the step
// noted (an address, a page).
struct FindingsExpected {
  int count = 1;
  std::vector<std::string> words;
  bool exactly = false;
};

// `rc` is what the verifier returned, `found` the findings it reported.
inline void expect_findings(int rc, const std::string& found, const FindingsExpected& e, long n) {
  if (e.exactly) {
    EXPECT_EQ(rc, e.count) << found;
  } else {
    EXPECT_GE(rc, e.count) << found;
  }
  for (std::string w : e.words) {
    if (size_t at = w.find("{n}"); at != w.npos) w.replace(at, 3, std::to_string(n));
    EXPECT_NE(found.find(w), found.npos) << "no finding mentions \"" << w << "\"\n" << found;
  }
}
