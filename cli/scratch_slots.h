// Scratch files a signal handler removes when the process must end at once. A
// slot's path is written before the slot is marked live, and only then may the
// handler read it; nothing here allocates, so the handler may walk the slots.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>

namespace cli {

template <size_t kPathMax>
class ScratchSlots {
public:
    static constexpr int kSlots = 16;

    // The slot now holding `path`; -1 when the path is too long or every slot is taken.
    int hold(const std::string& path) {
        if (path.size() >= kPathMax) return -1;
        for (int i = 0; i < kSlots; ++i) {
            if (live_[i].load()) continue;
            std::memcpy(path_[i], path.c_str(), path.size() + 1);
            live_[i].store(true);
            return i;
        }
        return -1;
    }
    void release(int slot) {
        if (slot >= 0) live_[slot].store(false);
    }
    // Calls remove(path) for every live slot (from a signal handler too).
    template <typename Remove>
    void removeLive(Remove remove) const {
        for (int i = 0; i < kSlots; ++i)
            if (live_[i].load()) remove(path_[i]);
    }

private:
    char path_[kSlots][kPathMax];
    std::atomic<bool> live_[kSlots];
};

}  // namespace cli
