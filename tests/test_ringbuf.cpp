// Ring buffer: the full ring, wrap-around, refused sizes and a producer/consumer run.
#include "ringbuf.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <mutex>
#include <numeric>
#include <thread>

// Filled exactly wherever the read position stands (8: at the end of the area, read in place
// from offset 0), the ring refuses what does not fit, shows its bytes in place, returns them in
// order across the end, stays inside the caller's area and clears the caller's handle when
// freed. Sizes and byte order under random use are the fuzz target's.
TEST(RingBuffer, FullRingAndRefusals) {
    unsigned char area[] = "--------##", abc[] = "abcdefgh", out[8] = {};
    for (int rp = 0; rp <= 8; ++rp) {
        SCOPED_TRACE(rp);
        ringb_h h = ringb_alloc(area, 8);
        ringb_put(h, out, rp);
        ringb_get(h, out, rp);
        EXPECT_EQ(ringb_put(h, abc, 8), 0);
        EXPECT_EQ(ringb_dstart(h), rp % 8u);
        EXPECT_EQ(ringb_cont_dsize(h), 8 - rp % 8);
        EXPECT_EQ(memcmp(ringb_addr(h) + rp % 8, abc, 8 - rp % 8), 0);
        EXPECT_EQ(ringb_put(h, abc, 1), -1);
        EXPECT_EQ(ringb_return(h, 1), -1);
        EXPECT_EQ(ringb_get(h, out, 3), 0);
        EXPECT_EQ(ringb_return(h, 3), 0);
        EXPECT_EQ(ringb_get(h, out, 8), 0);
        EXPECT_EQ(memcmp(out, abc, 8), 0);
        ringb_free(h);
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_STREQ(reinterpret_cast<char*>(area), "abcdefgh##");  // rp 8 wrote from offset 0
    EXPECT_EQ(ringb_put(nullptr, out, 1), -1);
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
