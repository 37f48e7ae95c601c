// The timeline's history: frames in time order in a ring of fixed capacity.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "spatial/frame.hpp"

namespace halberin::spatial {

// Slots come in blocks, allocated as the ring first fills; once full, a push moves the
// frame into the oldest one's slot. Nothing is allocated, shifted or reindexed after
// that, so every push costs the same at any capacity.
class FrameRing {
public:
    explicit FrameRing(std::size_t capacity);

    std::size_t size() const noexcept { return count; }
    bool empty() const noexcept { return count == 0; }

    // The i-th oldest frame, i < size().
    const SpatialIntentFrame& operator[](std::size_t i) const noexcept {
        std::size_t slot = first + i;
        slot = slot < capacity ? slot : slot - capacity;
        return blocks[slot / block_size][slot % block_size];
    }
    const SpatialIntentFrame& back() const noexcept { return (*this)[count - 1]; }

    // Appends a frame; when the ring is full it takes the place of the oldest.
    void push_back(SpatialIntentFrame&& frame);

    // Drops every frame at once. The slots keep what they held until pushes take them
    // over, so a restart frees nothing and costs the same at any size.
    void clear() noexcept {
        first = 0;
        count = 0;
    }

private:
    std::size_t capacity;
    std::size_t block_size;
    std::size_t first = 0;  // slot of the oldest frame; 0 until the ring is full
    std::size_t count = 0;
    std::vector<std::unique_ptr<SpatialIntentFrame[]>> blocks;
};

}  // namespace halberin::spatial
