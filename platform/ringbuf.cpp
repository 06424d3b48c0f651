// Byte ring buffer. Positions run from 0 to length; a position equal to length
// stands at the end of the area and the next copy there starts at offset 0.
//
// wp == rp alone cannot tell an empty ring from a full one. The positions
// follow their usual rules, and a separate marker records that the last put
// (or return) left the ring holding exactly `length` bytes with wp == rp; any
// take clears it. Every query reads the marker first, so a full ring reports
// data size `length` and free space 0 wherever rp stands.
//
// The ring has no lock. Producer and consumer serialise put/get with their own
// lock; the queries may run outside it. Positions and the marker are atomics,
// stored after the bytes are copied: a reader outside the lock can only see
// less data (consumer) or less room (producer) than there really is.
#include "ringbuf.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

namespace {

struct ringb_imp_t {
    uint32_t flags;  // 1: data area allocated with the record, 0: the caller's
    std::atomic<uint32_t> wp;
    std::atomic<uint32_t> rp;
    uint32_t length;
    unsigned char* buff;
    std::atomic<bool> full;
    // With ringb_alloc(size) the data area follows the record in the same block.
};

constexpr size_t kHeader = (sizeof(ringb_imp_t) + 15) / 16 * 16;

inline ringb_imp_t* imp(ringb_h h) {
    return static_cast<ringb_imp_t*>(h);
}

// Free space, from the producer's side.
inline uint32_t freeSpace(const ringb_imp_t* r, uint32_t wp, uint32_t rp, bool full) {
    if (full) return 0;
    return rp > wp ? rp - wp : r->length - wp + rp;
}

inline uint32_t dataSize(const ringb_imp_t* r, uint32_t wp, uint32_t rp, bool full) {
    if (full) return r->length;
    return rp > wp ? r->length - rp + wp : wp - rp;
}

ringb_imp_t* makeRecord(void* block, uint32_t flags, unsigned char* buff, int size) {
    ringb_imp_t* r = new (block) ringb_imp_t;
    r->flags = flags;
    r->wp.store(0, std::memory_order_relaxed);
    r->rp.store(0, std::memory_order_relaxed);
    r->length = static_cast<uint32_t>(size);
    r->buff = buff;
    r->full.store(false, std::memory_order_relaxed);
    return r;
}

}  // namespace

ringb_h ringb_alloc(int size) {
    if (size < 0) return nullptr;
    void* block = calloc(1, kHeader + static_cast<size_t>(size));
    if (!block) return nullptr;
    return makeRecord(block, 1, static_cast<unsigned char*>(block) + kHeader, size);
}

ringb_h ringb_alloc(unsigned char* buff, int size) {
    if (size < 0) return nullptr;
    void* block = calloc(1, sizeof(ringb_imp_t));
    if (!block) return nullptr;
    return makeRecord(block, 0, buff, size);
}

void ringb_free(ringb_h& h) {
    if (!h) return;
    ringb_imp_t* r = imp(h);
    r->~ringb_imp_t();
    free(r);  // an inline data area goes with the record; a caller's area stays
    h = nullptr;
}

int ringb_put(ringb_h h, unsigned char* p, int size) {
    if (!h) {
        fprintf(stderr, "%s.%d not initialize\n\r", "ringb_put", 53);
        return -1;
    }
    ringb_imp_t* r = imp(h);
    const bool full = r->full.load(std::memory_order_acquire);
    uint32_t wp = r->wp.load(std::memory_order_relaxed);
    const uint32_t rp = r->rp.load(std::memory_order_acquire);
    // More than the free space would overwrite unread bytes or run past the area.
    if (size < 0 || static_cast<uint32_t>(size) > freeSpace(r, wp, rp, full)) return -1;
    const uint32_t n = static_cast<uint32_t>(size);
    if (n == 0) return 0;

    if (wp < rp) {
        memcpy(r->buff + wp, p, n);
        wp += n;
    } else {
        const uint32_t room = r->length - wp;
        const uint32_t first = n < room ? n : room;
        memcpy(r->buff + wp, p, first);
        wp += first;
        if (n > first) {
            memcpy(r->buff, p + first, n - first);
            wp = n - first;
        }
    }
    r->wp.store(wp, std::memory_order_release);
    if (wp == rp) r->full.store(true, std::memory_order_release);
    return 0;
}

int ringb_get(ringb_h h, unsigned char* p, int size) {
    if (!h) return -1;
    ringb_imp_t* r = imp(h);
    const bool full = r->full.load(std::memory_order_acquire);
    uint32_t rp = r->rp.load(std::memory_order_relaxed);
    const uint32_t wp = r->wp.load(std::memory_order_acquire);
    // More than the data size would hand out stale bytes or read past the area.
    if (size < 0 || static_cast<uint32_t>(size) > dataSize(r, wp, rp, full)) return -1;
    const uint32_t n = static_cast<uint32_t>(size);
    if (n == 0) return 0;

    if (rp < wp) {
        memcpy(p, r->buff + rp, n);
        rp += n;
    } else {
        const uint32_t avail = r->length - rp;
        const uint32_t first = n < avail ? n : avail;
        memcpy(p, r->buff + rp, first);
        rp += first;
        if (n > first) {
            memcpy(p + first, r->buff, n - first);
            rp = n - first;
        }
    }
    r->rp.store(rp, std::memory_order_release);
    if (full) r->full.store(false, std::memory_order_release);
    return 0;
}

int ringb_length(ringb_h h) {
    return h ? static_cast<int>(imp(h)->length) : 0;
}

int ringb_freespace(ringb_h h) {
    if (!h) return 0;
    const ringb_imp_t* r = imp(h);
    const bool full = r->full.load(std::memory_order_acquire);
    const uint32_t rp = r->rp.load(std::memory_order_acquire);
    const uint32_t wp = r->wp.load(std::memory_order_acquire);
    return static_cast<int>(freeSpace(r, wp, rp, full));
}

int ringb_dsize(ringb_h h) {
    if (!h) return 0;
    const ringb_imp_t* r = imp(h);
    const bool full = r->full.load(std::memory_order_acquire);
    const uint32_t wp = r->wp.load(std::memory_order_acquire);
    const uint32_t rp = r->rp.load(std::memory_order_acquire);
    return static_cast<int>(dataSize(r, wp, rp, full));
}

unsigned char* ringb_addr(ringb_h h) {
    return h ? imp(h)->buff : nullptr;
}

// A read position at the end of the area stands for offset 0: the oldest
// unread byte, if any, lies there.
unsigned int ringb_dstart(ringb_h h) {
    if (!h) return 0;
    const ringb_imp_t* r = imp(h);
    const uint32_t rp = r->rp.load(std::memory_order_acquire);
    return rp == r->length ? 0 : rp;
}

int ringb_cont_dsize(ringb_h h) {
    if (!h) return 0;
    const ringb_imp_t* r = imp(h);
    const bool full = r->full.load(std::memory_order_acquire);
    const uint32_t wp = r->wp.load(std::memory_order_acquire);
    const uint32_t rp = r->rp.load(std::memory_order_acquire);
    const uint32_t start = rp == r->length ? 0 : rp;
    const uint32_t size = dataSize(r, wp, rp, full);
    const uint32_t to_end = r->length - start;
    return static_cast<int>(size < to_end ? size : to_end);
}

int ringb_return(ringb_h h, int size) {
    if (!h) return -1;
    ringb_imp_t* r = imp(h);
    const bool full = r->full.load(std::memory_order_acquire);
    uint32_t rp = r->rp.load(std::memory_order_relaxed);
    const uint32_t wp = r->wp.load(std::memory_order_acquire);
    // Only bytes that were taken and not written over since can come back.
    if (size < 0 || static_cast<uint32_t>(size) > freeSpace(r, wp, rp, full)) return -1;
    const uint32_t n = static_cast<uint32_t>(size);
    if (n == 0) return 0;

    if (wp < rp || rp >= n) {
        rp -= n;
    } else {
        rp = r->length + rp - n;  // back across the start of the area
    }
    r->rp.store(rp, std::memory_order_release);
    if (rp == wp) r->full.store(true, std::memory_order_release);
    return 0;
}
