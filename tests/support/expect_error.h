// One statement for a call whose result and the error it leaves are both
// checked: EXPECT_LEAVES(call, result, last_error, error) expects `call` to
// give `result`, then the layer's `last_error` (a variable or a call) to
// hold `error`.
#pragma once

#include <gtest/gtest.h>

#define EXPECT_LEAVES(call, result, last_error, error) \
  do {                                                 \
    EXPECT_EQ(call, result);                           \
    EXPECT_EQ(last_error, error);                      \
  } while (0)
