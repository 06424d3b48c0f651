// The 7-byte test packet: numbering rules, the receiver's checksum test and the dumps.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "client.h"
#include "server.h"
#include "status_recorder.h"
#include "tcp_function.h"

using Bytes = std::vector<unsigned char>;

// Number of "checksum error !" messages the receiver gives for len bytes at b.
static int errorsFor(unsigned char* b, int len) {
    testsupport::status::clear();
    server().isValid(b, len);
    return testsupport::status::messageCount(testsupport::Report::ServerMsg, "checksum error !");
}

// The sender's byte wraps after 255, its count goes on; the relay turns 127 to 1; all pass.
TEST(PacketTest, BuiltPacketsHaveTheseBytesAndPassTheChecksumTest) {
    const Bytes first = {0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x10};
    const std::map<int, Bytes> sent_at = {{0, first}, {255, {0, 1, 2, 3, 4, 5, 15}}, {256, first}};
    const std::map<int, Bytes> relayed_at = {{126, {127, 1, 2, 3, 4, 5, 142}}, {127, first}};
    client c;
    std::vector<Bytes> sent(300, Bytes(7)), relayed(300, Bytes(7));
    for (int i = 0, count = 0; i < 300; ++i) {
        c.creatPacket(reinterpret_cast<client::packet*>(sent[i].data()));
        count = creatPacket(reinterpret_cast<packet*>(relayed[i].data()), count);
        ASSERT_EQ(errorsFor(sent[i].data(), 7) + errorsFor(relayed[i].data(), 7), 0) << i;
    }
    for (const auto& [i, want] : sent_at) EXPECT_EQ(sent[i], want) << i;
    for (const auto& [i, want] : relayed_at) EXPECT_EQ(relayed[i], want) << i;
    EXPECT_EQ(c.m_counter, 300);
}

// Only the bytes received are judged, whole packets one by one; any other length fails.
TEST(PacketTest, ChecksumTestJudgesOnlyTheBytesReceived) {
    Bytes b(21, 0);
    for (int len = 0; len <= 21; ++len)
        EXPECT_EQ(errorsFor(b.data(), len), len == 7 || len == 14 || len == 21 ? 0 : 1) << len;
    EXPECT_EQ(errorsFor(nullptr, 7), 1);
    b[20] = 1;  // the last packet's checksum is wrong
    EXPECT_EQ(errorsFor(b.data(), 21), 1);
    b[5] = 1;  // a data byte of the first
    EXPECT_EQ(errorsFor(b.data(), 7), 1);
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
