// The run's end: the key pause, over the line and the console in memory.
// (The lost line's end is seen through the link's failing calls, in
// link_test.cpp.)
#include "tests/line_test.h"

namespace {

using EndTest = LineTest;

// The question is asked before the console's typed-ahead keys are dropped,
// and the key's leftovers are dropped after it.
TEST_F(EndTest, KeyPauseDropsKeysTypedBeforeTheQuestion)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(endRun(-1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("[closed]") + fake::KEY_PAUSE);
    EXPECT_EQ(fake::line.closeCalls, 2) << "the port and the console, once each";
}

} // namespace
