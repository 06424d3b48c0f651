// The measurement core driven by arbitrary sends, losses, copies, late
// deliveries and time steps: every packet sent ends received or lost, once.
// The second half of the input is fed as raw bytes too: it must not crash, and
// every packet sent still ends received or lost, once.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "direction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const measure::Format f = data[0] & 1 ? measure::Format::Seq32 : measure::Format::Counter8;
    const int64_t bound = 1000000000;
    measure::Direction d(f, bound);
    const size_t len = static_cast<size_t>(measure::packetSize(f));
    std::deque<uint64_t> flight;  // sent, not yet delivered
    uint64_t next = 1;
    int64_t now = 0;
    uint8_t p[measure::kMaxPacketSize];
    const size_t half = size / 2;
    for (size_t i = 1; i < half; ++i) {
        const uint8_t op = data[i];
        now += (op >> 4) * 1000000;  // 0..15 ms
        switch (op & 7) {
            case 0: case 1: case 2:
                d.onSent(next, now);
                flight.push_back(next++);
                break;
            case 3: case 4:  // deliver the oldest, or one further back (reordered)
                if (!flight.empty()) {
                    const size_t k = (op >> 3) % flight.size();
                    measure::buildPacket(f, flight[k], p);
                    d.onBytes(p, len, now);
                    if ((op & 8) == 0) flight.erase(flight.begin() + static_cast<long>(k));
                }
                break;
            case 5:  // lost in the converter
                if (!flight.empty()) flight.pop_front();
                break;
            case 6:
                d.expire(now);
                break;
            default:  // keep the window within the matching rule's reach
                while (!flight.empty() && next - flight.front() > 200) flight.pop_front();
        }
        while (!flight.empty() && next - flight.front() > 250) flight.pop_front();
    }
    d.finish(now + 2 * bound, true);
    const measure::Figures a = d.figures();
    if (a.received + a.lost != a.sent || a.corrupt != 0 || a.in_flight != 0) abort();

    measure::Direction raw(f, bound);
    for (uint64_t s = 1; s <= 300; ++s) raw.onSent(s, static_cast<int64_t>(s));
    raw.onBytes(data + half, size - half, 400);
    raw.onDatagram(data + half, size - half, 500);
    raw.finish(2 * bound, true);
    const measure::Figures b = raw.figures();
    if (b.received + b.lost != b.sent || b.in_flight != 0) abort();
    return 0;
}
