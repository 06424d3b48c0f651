// Ring buffer: the full ring, wrap-around, refused sizes and a producer/consumer run.
#include "ringbuf.h"

#include <gtest/gtest.h>
#include <string.h>

#include <mutex>
#include <numeric>
#include <string>
#include <thread>

namespace {

int put(ringb_h h, std::string s) {
    return ringb_put(h, reinterpret_cast<unsigned char*>(&s[0]), static_cast<int>(s.size()));
}

std::string take(ringb_h h, int n) {
    std::string s(n, '\0');
    EXPECT_EQ(ringb_get(h, reinterpret_cast<unsigned char*>(&s[0]), n), 0);
    return s;
}

}  // namespace

// Filled exactly, the ring reads as full (not empty) wherever the read position stands, shows
// its oldest bytes in place (a read position at the end stands for offset 0), refuses
// what does not fit, and gives its bytes back in order across the end and after a return across
// the start (rp 6, 7). A caller's area is used in place, never overrun, and kept by free. A null
// handle is reported with the text scripts look for.
TEST(RingBuffer, FullRingAndRefusals) {
    unsigned char area[] = "--------##", out[8];
    for (int rp = 0; rp <= 8; ++rp) {
        SCOPED_TRACE(rp);
        ringb_h h = ringb_alloc(area, 8);
        put(h, std::string(rp, '-'));
        take(h, rp);
        EXPECT_EQ(put(h, "abcdefgh"), 0);
        EXPECT_EQ(ringb_dsize(h), 8);
        EXPECT_EQ(ringb_freespace(h), 0);
        // Read in place: the oldest byte at ringb_dstart, contiguous up to the end of the area.
        const unsigned int start = ringb_dstart(h);
        EXPECT_EQ(start, static_cast<unsigned int>(rp % 8));
        EXPECT_EQ(ringb_cont_dsize(h), 8 - rp % 8);
        EXPECT_EQ(memcmp(ringb_addr(h) + start, "abcdefgh", 8 - start), 0);
        EXPECT_EQ(put(h, "x"), -1);
        EXPECT_EQ(ringb_return(h, 1), -1);
        EXPECT_EQ(take(h, 3), "abc");
        EXPECT_EQ(ringb_get(h, out, 6), -1);
        EXPECT_EQ(ringb_return(h, 3), 0);
        EXPECT_EQ(take(h, 8), "abcdefgh");
        EXPECT_EQ(ringb_dsize(h), 0);
        ringb_free(h);
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_STREQ(reinterpret_cast<char*>(area), "abcdefgh##");  // rp 8 wrote from offset 0
    testing::internal::CaptureStderr();
    EXPECT_EQ(ringb_put(nullptr, out, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ringb_put.53 not initialize\n\r");
}

// Chunks of changing sizes through a small ring, put/get under one lock and the fill level read
// outside it, as the serial driver does: every byte arrives once, in order.
TEST(RingBuffer, ProducerConsumerUnderOneLock) {
    ringb_h h = ringb_alloc(1021);
    std::mutex lock;
    constexpr long kTotal = 800 * (97 * 98 / 2);  // whole rounds of chunks of 1..97 bytes
    unsigned char pattern[256 + 97], chunk[89];
    std::iota(pattern, pattern + sizeof pattern, 0);
    std::thread producer([&] {
        for (long sent = 0, n = 1; sent < kTotal; sent += n, n = n % 97 + 1) {
            while (ringb_freespace(h) < n) std::this_thread::yield();
            std::lock_guard<std::mutex> g(lock);
            ASSERT_EQ(ringb_put(h, &pattern[sent % 256], static_cast<int>(n)), 0);
        }
    });
    long got = 0, bad = 0;
    for (int n = 1; got < kTotal; n = n % 89 + 1) {
        const int len = std::min(n, ringb_dsize(h));
        if (len == 0) std::this_thread::yield();
        std::lock_guard<std::mutex> g(lock);
        bad += ringb_get(h, chunk, len) != 0 || memcmp(chunk, &pattern[got % 256], len) != 0;
        got += len;
    }
    producer.join();
    EXPECT_EQ(bad, 0);
    ringb_free(h);
}
