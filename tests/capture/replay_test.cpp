#include <gtest/gtest.h>
TEST(Replay, Placeholder) {}
