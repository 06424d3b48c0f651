// Leveled log: threshold, stream switch, output exactly as formatted.
#include "log.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

// Messages at or below the threshold (32 at start) go out as formatted, to the stream or stderr.
TEST(Log, ThresholdAndStream) {
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    testing::internal::CaptureStderr();
    log_set_handle(f);
    log_msg(1, "to file %s", "a");
    log_flush();
    log_set_handle(nullptr);
    log_msg(32, "at %d", 32);
    log_msg(33, "above");
    log_set_level(-1);
    log_msg(0, "zero");
    log_msg(-1, "|minus %s\n", "one");
    log_set_level(32);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "at 32|minus one\n");
    char buf[16] = {};
    EXPECT_EQ(pread(fileno(f), buf, sizeof buf - 1, 0), 9);  // flushed, no line end added
    EXPECT_STREQ(buf, "to file a");
    fclose(f);
}
