// Runs the plain-C user of the container headers.
#include <gtest/gtest.h>

extern "C" int containers_c_api_check(void);

namespace {
TEST(ContainersCApi, HeadersServeACProgram) { EXPECT_EQ(containers_c_api_check(), 1); }
}  // namespace
