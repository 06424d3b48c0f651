// The measurement core fed arbitrary bytes, as a stream and as a datagram,
// after 300 packets were sent: it must not crash, and every packet sent still
// ends received or lost, once. (Scripted sends, losses, copies and late
// deliveries are the oracle's: fuzz_oracle.)
#include <cstdint>
#include <cstdlib>

#include "direction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const measure::Format f = data[0] & 1 ? measure::Format::Seq32 : measure::Format::Counter8;
    const int64_t bound = 1000000000;
    measure::Direction raw(f, bound, data[0] & 2 ? measure::Lane::Alt : measure::Lane::Plain);
    for (uint64_t s = 1; s <= 300; ++s) raw.onSent(s, static_cast<int64_t>(s));
    raw.onBytes(data + 1, size - 1, 400);
    raw.onDatagram(data + 1, size - 1, 500);
    raw.finish(2 * bound, true);
    const measure::Figures b = raw.figures();
    if (b.received + b.lost != b.sent || b.in_flight != 0) abort();
    return 0;
}
