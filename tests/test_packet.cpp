// The 7-byte test packet: the sender and relay numbering rules, the receiver's
// checksum test and the three dumps.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "client.h"
#include "server.h"
#include "status_recorder.h"
#include "tcp_function.h"

using testsupport::Report;
namespace status = testsupport::status;

namespace {

template <typename P>
std::vector<unsigned char> bytesOf(const P& p) {
    const auto* b = reinterpret_cast<const unsigned char*>(&p);
    return std::vector<unsigned char>(b, b + sizeof p);
}

std::vector<unsigned char> bytes(std::initializer_list<int> v) {
    std::vector<unsigned char> out;
    for (int x : v) out.push_back(static_cast<unsigned char>(x));
    return out;
}

int checksumErrors() {
    return status::messageCount(Report::ServerMsg, "checksum error !");
}

class PacketTest : public ::testing::Test {
protected:
    void SetUp() override { status::clear(); }
};

}  // namespace

TEST_F(PacketTest, AllThreeRecordsAreSevenBytesInWireOrder) {
    static_assert(sizeof(client::packet) == 7, "no padding");
    static_assert(sizeof(server::packet) == 7, "no padding");
    static_assert(sizeof(packet) == 7, "no padding");
    EXPECT_EQ(offsetof(client::packet, data), 1u);
    EXPECT_EQ(offsetof(client::packet, checksum), 6u);
    EXPECT_EQ(offsetof(server::packet, checksum), 6u);
    EXPECT_EQ(offsetof(packet, checksum), 6u);
}

TEST_F(PacketTest, SenderRuleNumbersFromOneAndWrapsOnlyTheByte) {
    client c;
    client::packet p{};
    EXPECT_EQ(c.creatPacket(&p), 1);
    EXPECT_EQ(bytesOf(p), bytes({0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x10}));
    EXPECT_EQ(c.m_counter, 1);

    c.m_counter = 255;
    c.creatPacket(&p);
    EXPECT_EQ(c.m_counter, 256);
    EXPECT_EQ(bytesOf(p), bytes({0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x0F}));
    c.creatPacket(&p);
    EXPECT_EQ(c.m_counter, 257);
    EXPECT_EQ(bytesOf(p), bytes({0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x10}));

    c.m_counter = 0xF0;
    c.creatPacket(&p);
    EXPECT_EQ(bytesOf(p)[0], 0xF1);
    EXPECT_EQ(bytesOf(p)[6], 0x00);
    c.m_counter = 0xFE;
    c.creatPacket(&p);
    EXPECT_EQ(bytesOf(p)[6], 0x0E);
}

TEST_F(PacketTest, RelayRuleTurnsAt127AndNeverGivesZero) {
    packet p{};
    EXPECT_EQ(creatPacket(&p, 126), 127);
    EXPECT_EQ(bytesOf(p), bytes({0x7F, 0x01, 0x02, 0x03, 0x04, 0x05, 0x8E}));
    EXPECT_EQ(creatPacket(&p, 127), 1);
    EXPECT_EQ(bytesOf(p), bytes({0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x10}));

    int count = 0;
    for (int i = 0; i < 3 * 127; ++i) {
        count = creatPacket(&p, count);
        ASSERT_EQ(count, i % 127 + 1);
        ASSERT_EQ(p.counter, count);
    }
}

TEST_F(PacketTest, EveryBuiltPacketPassesTheChecksumTest) {
    server s;
    client c;
    client::packet cp{};
    for (int i = 0; i < 600; ++i) {
        c.creatPacket(&cp);
        auto b = bytesOf(cp);
        s.isValid(b.data(), 7);
    }
    packet rp{};
    int count = 0;
    for (int i = 0; i < 300; ++i) {
        count = creatPacket(&rp, count);
        auto b = bytesOf(rp);
        s.isValid(b.data(), 7);
    }
    auto a = bytes({0x71, 1, 2, 3, 4, 5, 0x80});
    s.isValid(a.data(), 7);
    EXPECT_EQ(status::reports().size(), 0u);
}

TEST_F(PacketTest, BadPacketGivesExactlyOneMessage) {
    server s;
    auto b = bytes({0x01, 1, 2, 3, 4, 5, 0x11});
    s.isValid(b.data(), 7);
    EXPECT_EQ(checksumErrors(), 1);
    auto c = bytes({0x01, 1, 2, 3, 4, 6, 0x10});
    s.isValid(c.data(), 7);
    EXPECT_EQ(checksumErrors(), 2);
    EXPECT_EQ(status::reports().size(), 2u);  // nothing counted, nothing else said
}

TEST_F(PacketTest, BlockOfSeveralPacketsIsTestedPacketByPacket) {
    server s;
    client c;
    std::vector<unsigned char> block;
    for (int i = 0; i < 3; ++i) {
        client::packet p{};
        c.creatPacket(&p);
        auto b = bytesOf(p);
        block.insert(block.end(), b.begin(), b.end());
    }
    s.isValid(block.data(), 21);
    EXPECT_EQ(checksumErrors(), 0);

    block[20] ^= 0x01;  // last packet bad
    s.isValid(block.data(), 21);
    EXPECT_EQ(checksumErrors(), 1);

    block[6] ^= 0x01;  // first packet bad too: still one message for the block
    s.isValid(block.data(), 21);
    EXPECT_EQ(checksumErrors(), 2);
}

// Each buffer here would pass a test that sums length - 1 bytes and compares
// with byte 6 whatever the length; only the bytes received may be judged.
TEST_F(PacketTest, OtherLengthsFailWhateverByteSixHolds) {
    server s;
    // 3 bytes received; byte 6 is stale and happens to equal 0x05 + 0x0A.
    auto stale = bytes({0x05, 0x0A, 0x00, 0x03, 0x04, 0x05, 0x0F});
    s.isValid(stale.data(), 3);
    EXPECT_EQ(checksumErrors(), 1);
    // 8 bytes whose first seven sum to byte 6 (bytes 0 to 5 sum to 0 mod 256).
    auto eight = bytes({0x80, 0x80, 0x00, 0x00, 0x00, 0x00, 0x33, 0x99});
    s.isValid(eight.data(), 8);
    EXPECT_EQ(checksumErrors(), 2);
    // No bytes at all, and a block of 13.
    s.isValid(stale.data(), 0);
    EXPECT_EQ(checksumErrors(), 3);
    std::vector<unsigned char> thirteen(13, 0);
    s.isValid(thirteen.data(), 13);
    EXPECT_EQ(checksumErrors(), 4);
    s.isValid(nullptr, 7);
    EXPECT_EQ(checksumErrors(), 5);
}

TEST_F(PacketTest, DumpsPrintSignedBytesWithTheirOwnersPrefix) {
    client c;
    client::packet cp{};
    c.creatPacket(&cp);
    testing::internal::CaptureStdout();
    c.print_packet(&cp);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "counter: 1, 1, 2, 3, 4, 5, cheaksum: 16, \n");

    server s;
    server::packet sp{};
    sp.counter = static_cast<int8_t>(0xC8);
    for (int i = 0; i < 5; ++i) sp.data[i] = static_cast<int8_t>(i + 1);
    sp.checksum = static_cast<int8_t>(0xD7);
    testing::internal::CaptureStdout();
    s.print_packet(&sp);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "server:  counter: -56, 1, 2, 3, 4, 5, cheaksum: -41, \n");

    packet rp{};
    std::memcpy(&rp, &sp, sizeof rp);
    testing::internal::CaptureStdout();
    print_packet(&rp);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "client:   counter: -56, 1, 2, 3, 4, 5, cheaksum: -41, \n");
}
