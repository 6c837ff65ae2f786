#include <gtest/gtest.h>

#include "var/var.h"

TEST(Smoke, Builds) { EXPECT_EQ(var(1.5).str(), "1.5"); }
