// Runs the plain-C user of the object-table and event-queue headers.
#include <gtest/gtest.h>

extern "C" int events_c_api_check(void);

namespace {
TEST(EventsCApi, HeadersServeACProgram) { EXPECT_EQ(events_c_api_check(), 1); }
}  // namespace
