#include <gtest/gtest.h>

extern "C" int lp_c_api_check(void);

TEST(CApi, PublicHeadersWorkFromC) { EXPECT_EQ(lp_c_api_check(), 1); }
