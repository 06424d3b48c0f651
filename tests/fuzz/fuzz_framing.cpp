// The stream framer on arbitrary bytes cut into arbitrary reads: every byte is
// accounted for exactly once (a packet, a damaged packet, a skipped byte, or
// still held, at most two packets' worth), whatever the cuts.
#include <cstdint>
#include <cstdlib>
#include <tuple>
#include <utility>
#include <vector>

#include "packet_format.h"

namespace {
struct Tally : measure::FrameSink {
    size_t packets = 0, corrupt = 0, corrupt_bytes = 0, skipped = 0;
    void onPacket(uint32_t, measure::Lane) override { ++packets; }
    void onCorrupt(size_t n) override {
        if (n == 0 || n > static_cast<size_t>(measure::kMaxPacketSize)) abort();
        ++corrupt;
        corrupt_bytes += n;
    }
    void onSkipped(size_t n) override { skipped += n; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // Bit 0: seq32; else bit 7: seq7; else counter8.
    const measure::Format f = data[0] & 1      ? measure::Format::Seq32
                              : data[0] & 0x80 ? measure::Format::Seq7
                                               : measure::Format::Counter8;
    const size_t cut = data[1] % 16 + 1;  // read size
    data += 2;
    size -= 2;
    const size_t packet = static_cast<size_t>(measure::packetSize(f));
    Tally whole, pieces;
    measure::Framer a(f), b(f);
    a.feed(data, size, whole);
    for (size_t off = 0; off < size; off += cut)
        b.feed(data + off, size - off < cut ? size - off : cut, pieces);
    for (auto [t, fr] : {std::make_pair(&whole, &a), std::make_pair(&pieces, &b)})
        if (fr->pending() > 2 * packet - 2 ||
            t->packets * packet + t->corrupt_bytes + t->skipped + fr->pending() != size)
            abort();
    // How the bytes were cut never changes what was found in them.
    a.flush(whole);
    b.flush(pieces);
    if (std::tie(whole.packets, whole.corrupt, whole.skipped, whole.corrupt_bytes) !=
        std::tie(pieces.packets, pieces.corrupt, pieces.skipped, pieces.corrupt_bytes))
        abort();
    return 0;
}
