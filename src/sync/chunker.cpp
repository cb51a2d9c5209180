// FastCDC-style chunking with normalised chunk sizes. The gear hash shifts one bit per
// byte, so after 64 bytes it holds nothing of what came before: the masks test its top
// bits, each of which depends on the last 47 bytes or more. The first `min` bytes of a
// chunk are skipped unhashed, which is where much of the speed comes from.
#include "sync/chunker.h"

#include <algorithm>
#include <bit>

namespace zefo {

namespace {

// A mask of the top `bits` bits of a 64-bit hash.
uint64_t TopBits(uint32_t bits) {
    return bits == 0 ? 0 : ~uint64_t{0} << (64 - bits);
}

// Hashes `data[0, size)` into `hash` until a byte leaves the bits of `mask` all zero:
// returns the count of bytes hashed up to and including that byte, or `size` when
// none did (then `found` is false).
size_t Scan(const uint8_t* data, size_t size, uint64_t mask, const uint64_t* gear, uint64_t& hash, bool& found) {
    uint64_t h = hash;
    for (size_t i = 0; i < size; ++i) {
        h = (h << 1) + gear[data[i]];
        if (!(h & mask)) {
            hash = h;
            found = true;
            return i + 1;
        }
    }
    hash = h;
    found = false;
    return size;
}

}  // namespace

bool ValidChunkerParams(const ChunkerParams& params) {
    return params.minSize >= kMinChunkSizeFloor && params.minSize <= params.avgSize &&
           params.avgSize <= params.maxSize && params.maxSize <= kMaxChunkSizeCeiling &&
           std::has_single_bit(params.avgSize) && params.level <= kMaxNormalisationLevel;
}

std::array<uint64_t, 256> GearTable(uint64_t seed) {
    std::array<uint64_t, 256> table{};
    uint64_t state = seed;
    for (uint64_t& entry : table) {
        state += 0x9e3779b97f4a7c15;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        entry = z ^ (z >> 31);
    }
    return table;
}

Chunker::Chunker(const ChunkerParams& params) : params_(params), valid_(ValidChunkerParams(params)) {
    if (!valid_)
        return;
    const uint32_t bits = static_cast<uint32_t>(std::countr_zero(params.avgSize));
    maskStrict_ = TopBits(bits + params.level);
    maskLoose_ = TopBits(bits - params.level);
    gear_ = GearTable(params.seed);
}

size_t Chunker::Next(const uint8_t* data, size_t size, bool& cut) {
    cut = false;
    if (!valid_)
        return 0;
    size_t taken = 0;
    while (taken < size) {
        const size_t left = size - taken;
        size_t step = 0;
        bool found = false;
        if (inChunk_ < params_.minSize) {
            // Below the minimum no byte can cut: skip it unhashed.
            step = static_cast<size_t>(std::min<uint64_t>(params_.minSize - inChunk_, left));
        } else if (inChunk_ < params_.avgSize) {
            step = static_cast<size_t>(std::min<uint64_t>(params_.avgSize - inChunk_, left));
            step = Scan(data + taken, step, maskStrict_, gear_.data(), hash_, found);
        } else {
            step = static_cast<size_t>(std::min<uint64_t>(params_.maxSize - inChunk_, left));
            step = Scan(data + taken, step, maskLoose_, gear_.data(), hash_, found);
        }
        taken += step;
        inChunk_ += step;
        if (found || inChunk_ == params_.maxSize) {
            position_ += taken;
            inChunk_ = 0;
            hash_ = 0;
            cut = true;
            return taken;
        }
    }
    position_ += taken;
    return taken;
}

void Chunker::Feed(const uint8_t* data, size_t size, std::vector<uint64_t>& cuts) {
    while (size > 0) {
        bool cut = false;
        const size_t taken = Next(data, size, cut);
        if (taken == 0)
            return;
        if (cut)
            cuts.push_back(position_);
        data += taken;
        size -= taken;
    }
}

bool Chunker::Finish() {
    const bool last = valid_ && inChunk_ > 0;
    inChunk_ = 0;
    hash_ = 0;
    return last;
}

}  // namespace zefo
