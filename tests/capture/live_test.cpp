#include <gtest/gtest.h>
TEST(Live, Placeholder) {}
