// Ring buffer: positions, wrap-around, the full ring, and a producer/consumer
// run under one lock.
#include "ringbuf.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes seq(int from, int n) {
    Bytes v(n);
    for (int i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(from + i);
    return v;
}

int put(ringb_h h, Bytes v) {
    return ringb_put(h, v.data(), static_cast<int>(v.size()));
}

Bytes take(ringb_h h, int n) {
    Bytes v(n);
    EXPECT_EQ(ringb_get(h, v.data(), n), 0);
    return v;
}

// data size, free space, contiguous data, read position
void expectState(ringb_h h, int dsize, int free, int cont, unsigned start) {
    EXPECT_EQ(ringb_dsize(h), dsize);
    EXPECT_EQ(ringb_freespace(h), free);
    EXPECT_EQ(ringb_cont_dsize(h), cont);
    EXPECT_EQ(ringb_dstart(h), start);
}

}  // namespace

TEST(RingBuffer, FillFromTheStartThenWrapAndReturn) {
    ringb_h h = ringb_alloc(8);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ringb_length(h), 8);
    expectState(h, 0, 8, 0, 0);
    EXPECT_EQ(put(h, seq(1, 8)), 0);
    expectState(h, 8, 0, 8, 0);
    EXPECT_EQ(take(h, 8), seq(1, 8));
    expectState(h, 0, 8, 0, 8);
    ringb_free(h);
    EXPECT_EQ(h, nullptr);
    ringb_free(h);  // a second free leaves the null handle alone

    h = ringb_alloc(8);
    unsigned char* area = ringb_addr(h);
    put(h, seq(10, 6));
    EXPECT_EQ(take(h, 4), seq(10, 4));
    put(h, seq(20, 5));  // 2 bytes at offsets 6..7, 3 at 0..2
    EXPECT_EQ(Bytes(area + 6, area + 8), seq(20, 2));
    EXPECT_EQ(Bytes(area, area + 3), seq(22, 3));
    expectState(h, 7, 1, 4, 4);
    EXPECT_EQ(take(h, 7), Bytes({14, 15, 20, 21, 22, 23, 24}));
    expectState(h, 0, 8, 0, 3);
    EXPECT_EQ(ringb_return(h, 2), 0);
    expectState(h, 2, 6, 2, 1);
    EXPECT_EQ(take(h, 2), seq(23, 2));
    EXPECT_EQ(ringb_return(h, 5), 0);  // back across the start: 20..24 at 6, 7, 0..2
    expectState(h, 5, 3, 2, 6);
    EXPECT_EQ(take(h, 5), seq(20, 5));
    ringb_free(h);
}

// Filling the ring exactly while the read position is not 0 must not make it
// read as empty, and what does not fit must not overwrite unread bytes.
TEST(RingBuffer, ExactlyFullWithReadPositionInside) {
    for (int rp = 1; rp <= 8; ++rp) {
        SCOPED_TRACE("rp " + std::to_string(rp));
        ringb_h h = ringb_alloc(8);
        put(h, seq(0, rp));
        take(h, rp);
        EXPECT_EQ(put(h, seq(100, 8)), 0);
        expectState(h, 8, 0, 8 - rp, rp);
        EXPECT_EQ(put(h, seq(1, 1)), -1);
        EXPECT_EQ(take(h, 3), seq(100, 3));
        EXPECT_EQ(ringb_dsize(h), 5);
        EXPECT_EQ(ringb_return(h, 3), 0);  // giving back fills it again
        EXPECT_EQ(ringb_dsize(h), 8);
        EXPECT_EQ(ringb_freespace(h), 0);
        EXPECT_EQ(take(h, 8), seq(100, 8));
        expectState(h, 0, 8, 0, rp);
        ringb_free(h);
    }
}

TEST(RingBuffer, OutOfRangeSizesAreRefused) {
    ringb_h h = ringb_alloc(8);
    Bytes out(16);
    EXPECT_EQ(put(h, Bytes(9, 7)), -1);
    EXPECT_EQ(ringb_put(h, out.data(), -1), -1);
    put(h, seq(1, 3));
    EXPECT_EQ(ringb_get(h, out.data(), 4), -1);
    EXPECT_EQ(ringb_return(h, 6), -1);
    expectState(h, 3, 5, 3, 0);
    ringb_free(h);
    EXPECT_EQ(ringb_alloc(-1), nullptr);

    unsigned char b = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ringb_put(nullptr, &b, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ringb_put.53 not initialize\n\r");
}

TEST(RingBuffer, CallerOwnedAreaStaysInPlace) {
    unsigned char area[6] = {0, 0, 0, 0, 0xEE, 0xEE};
    ringb_h h = ringb_alloc(area, 4);
    EXPECT_EQ(ringb_addr(h), area);
    put(h, seq(1, 4));
    ringb_free(h);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(Bytes(area, area + 6), Bytes({1, 2, 3, 4, 0xEE, 0xEE}));
}

// One producer and one consumer in chunks of changing sizes through a small
// ring, put/get under one lock and the fill level read outside it, as the
// serial driver does. Every byte must arrive once, in order.
TEST(RingBuffer, ProducerConsumerUnderOneLock) {
    ringb_h h = ringb_alloc(1021);
    std::mutex lock;
    constexpr long kTotal = 4000000;
    std::thread producer([&] {
        unsigned char chunk[97];
        for (long sent = 0, n = 1; sent < kTotal; n = n % 97 + 1) {
            const int len = static_cast<int>(std::min(n, kTotal - sent));
            if (ringb_freespace(h) < len) {
                std::this_thread::yield();
                continue;
            }
            for (int i = 0; i < len; ++i) chunk[i] = static_cast<unsigned char>((sent + i) % 251);
            std::lock_guard<std::mutex> g(lock);
            if (ringb_put(h, chunk, len) != 0) return;
            sent += len;
        }
    });
    unsigned char chunk[89];
    long got = 0, bad = 0;
    for (int n = 1; got < kTotal && bad == 0; n = n % 89 + 1) {
        const int len = std::min(n, ringb_dsize(h));
        if (len == 0) {
            std::this_thread::yield();
            continue;
        }
        {
            std::lock_guard<std::mutex> g(lock);
            if (ringb_get(h, chunk, len) != 0) ++bad;
        }
        for (int i = 0; i < len; ++i) bad += chunk[i] != (got + i) % 251;
        got += len;
    }
    producer.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(got, kTotal);
    ringb_free(h);
}
