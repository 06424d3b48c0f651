// Leveled log: threshold, stream switch, output exactly as formatted.
#include "log.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

// Messages at or below the threshold (32 at start) go out exactly as formatted, no line end
// added, to the stream set (flushed on request) or to standard error when none is set.
TEST(Log, ThresholdAndStream) {
    EXPECT_EQ(log_get_level(), 32);
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    log_set_handle(f);
    log_msg(1, "to file %s", "a");
    log_flush();
    char buf[16] = {};
    EXPECT_EQ(pread(fileno(f), buf, sizeof buf - 1, 0), 9);  // written out, not just buffered
    EXPECT_STREQ(buf, "to file a");

    log_set_handle(nullptr);
    testing::internal::CaptureStderr();
    log_msg(32, "at %d", 32);
    log_msg(33, "above");
    log_set_level(-1);
    log_msg(0, "zero");
    log_msg(-1, "|minus %s\n", "one");
    log_set_level(32);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "at 32|minus one\n");
    fclose(f);
}
