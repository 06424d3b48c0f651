// Leveled log: threshold, stream switching and flushing.
#include "log.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

// Runs first: the initial state.
TEST(Log, ThresholdStartsAt32AndGoesToStandardError) {
    EXPECT_EQ(log_get_level(), 32);
    testing::internal::CaptureStderr();
    log_msg(32, "at %d", 32);
    log_msg(33, "above");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "at 32");  // nothing added

    log_set_level(-1);
    EXPECT_EQ(log_get_level(), -1);
    testing::internal::CaptureStderr();
    log_msg(0, "zero");
    log_msg(-1, "minus %s\n", "one");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "minus one\n");
    log_set_level(32);
}

TEST(Log, StreamSwitchFlushAndSyslog) {
    std::string path = testing::TempDir() + "convbench_log_XXXXXX";
    int fd = mkstemp(&path[0]);
    ASSERT_GE(fd, 0);
    FILE* f = fdopen(fd, "w");
    log_set_handle(f);
    testing::internal::CaptureStderr();
    log_msg(1, "to file %s", "a");
    char fmt[] = "syslog %d";
    log_syslog(0, fmt, 1);
    EXPECT_EQ(readFile(path), "");  // still in the stream's buffer
    log_flush();
    EXPECT_EQ(readFile(path), "to file a");

    log_set_handle(nullptr);
    log_msg(1, "to stderr");
    log_flush();  // nothing set: nothing to do
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr");
    fclose(f);
    EXPECT_EQ(readFile(path), "to file a");
    unlink(path.c_str());
}
