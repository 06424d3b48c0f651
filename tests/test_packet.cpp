// The 7-byte test packet: numbering rules, the receiver's checksum test and the dumps.
#include <gtest/gtest.h>

#include <vector>

#include "client.h"
#include "server.h"
#include "status_recorder.h"
#include "tcp_function.h"

using Bytes = std::vector<unsigned char>;

template <typename P>
static Bytes bytesOf(const P& p) {
    const auto* b = reinterpret_cast<const unsigned char*>(&p);
    return Bytes(b, b + sizeof p);
}

// Number of "checksum error !" messages the receiver gives for len bytes at b.
static int errorsFor(unsigned char* b, int len) {
    testsupport::status::clear();
    server().isValid(b, len);
    return testsupport::status::messageCount(testsupport::Report::ServerMsg, "checksum error !");
}

// Sender packets 1, 256 (only the byte wraps: the count goes on) and 257; the relay turns
// from 127 to 1, never 0. Every packet built passes the receiver's test.
TEST(PacketTest, BuiltPacketsHaveTheseBytesAndPassTheChecksumTest) {
    client c;
    client::packet cp{};
    packet rp{};
    std::vector<Bytes> sent, relayed;
    for (int i = 0, count = 0; i < 300; ++i) {
        c.creatPacket(&cp);
        count = creatPacket(&rp, count);
        sent.push_back(bytesOf(cp));
        relayed.push_back(bytesOf(rp));
        ASSERT_EQ(errorsFor(sent.back().data(), 7) + errorsFor(relayed.back().data(), 7), 0) << i;
    }
    const Bytes first = {0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x10};
    EXPECT_EQ(sent[0], first);
    EXPECT_EQ(sent[255], (Bytes{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x0F}));
    EXPECT_EQ(sent[256], first);
    EXPECT_EQ(c.m_counter, 300);
    EXPECT_EQ(relayed[126], (Bytes{0x7F, 0x01, 0x02, 0x03, 0x04, 0x05, 0x8E}));
    EXPECT_EQ(relayed[127], first);
}

// Only the bytes received are judged: whole packets one by one, any other length fails
// (zero bytes pass a checksum test whatever length it sums); one message per bad block.
TEST(PacketTest, ChecksumTestJudgesOnlyTheBytesReceived) {
    Bytes b(21, 0);
    for (int len = 0; len <= 21; ++len)
        EXPECT_EQ(errorsFor(b.data(), len), len == 7 || len == 14 || len == 21 ? 0 : 1) << len;
    EXPECT_EQ(errorsFor(nullptr, 7), 1);
    b[20] = 1;  // the last packet's checksum is wrong
    EXPECT_EQ(errorsFor(b.data(), 21), 1);
    b[5] = 1;  // and a data byte of the first
    EXPECT_EQ(errorsFor(b.data(), 7), 1);
    EXPECT_EQ(errorsFor(b.data(), 21), 1);
}

// The dumps print bytes signed, each behind its owner's prefix.
TEST(PacketTest, DumpsPrintSignedBytes) {
    unsigned char raw[7] = {0xC8, 0x01, 0x02, 0x03, 0x04, 0x05, 0xD7};
    testing::internal::CaptureStdout();
    client().print_packet(reinterpret_cast<client::packet*>(raw));
    server().print_packet(reinterpret_cast<server::packet*>(raw));
    print_packet(reinterpret_cast<packet*>(raw));
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "counter: -56, 1, 2, 3, 4, 5, cheaksum: -41, \n"
              "server:  counter: -56, 1, 2, 3, 4, 5, cheaksum: -41, \n"
              "client:   counter: -56, 1, 2, 3, 4, 5, cheaksum: -41, \n");
}
