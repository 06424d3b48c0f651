// The ring buffer against a plain model: random puts, gets and returns of
// random sizes keep the same bytes in the same order, and refusals leave both
// unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "ringbuf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int length = data[0] % 64 + 1;
    ringb_h h = ringb_alloc(length);
    if (!h) abort();
    std::deque<uint8_t> model;
    std::vector<uint8_t> last_got;  // a return gives back bytes of the last get only
    uint8_t fill = 0;
    for (size_t i = 1; i < size; ++i) {
        const int n = data[i] >> 2;
        std::vector<uint8_t> buf(static_cast<size_t>(n) + 1);
        const int free_space = length - static_cast<int>(model.size());
        switch (data[i] & 3) {
            case 0:
            case 1: {
                for (auto& b : buf) b = fill++;
                const int rc = ringb_put(h, buf.data(), n);
                if ((rc == 0) != (n <= free_space)) abort();
                if (rc == 0) model.insert(model.end(), buf.begin(), buf.begin() + n);
                last_got.clear();
                break;
            }
            case 2: {
                const int rc = ringb_get(h, buf.data(), n);
                if ((rc == 0) != (n <= static_cast<int>(model.size()))) abort();
                if (rc != 0) break;
                for (int k = 0; k < n; ++k) {
                    if (buf[static_cast<size_t>(k)] != model.front()) abort();
                    model.pop_front();
                }
                last_got.assign(buf.begin(), buf.begin() + n);
                break;
            }
            default: {
                const int back = n % (static_cast<int>(last_got.size()) + 1);
                if (ringb_return(h, back) != 0) abort();
                model.insert(model.begin(), last_got.end() - back, last_got.end());
                last_got.resize(last_got.size() - static_cast<size_t>(back));
            }
        }
        if (ringb_dsize(h) != static_cast<int>(model.size())) abort();
        if (ringb_freespace(h) != length - static_cast<int>(model.size())) abort();
    }
    ringb_free(h);
    return 0;
}
