// Content-defined chunking: a file is cut where a rolling gear hash of the bytes just
// read meets a mask, so a cut point depends only on the bytes near it and on the
// parameters below. An edit moves the cuts of the chunks around it and no others, and
// the publisher and a client that chunk the same bytes with the same parameters (pinned
// in the chunk index) find the same cuts, however the bytes are fed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zefo {

// The gear table's seed unless an index names another.
constexpr uint64_t kDefaultGearSeed = 0x7a65666f2d636463;

struct ChunkerParams {
    uint32_t minSize = 16 * 1024;   // no cut before this many bytes of a chunk
    uint32_t avgSize = 64 * 1024;   // a power of two: the stricter mask below it, the looser from it on
    uint32_t maxSize = 256 * 1024;  // a cut here at the latest
    uint32_t level = 2;             // normalisation: the masks have log2(avg) + level and - level bits
    uint64_t seed = kDefaultGearSeed;

    bool operator==(const ChunkerParams&) const = default;
};

// The bounds every chunker and every index keeps: 1 KiB <= min <= avg <= max <= 16 MiB,
// avg a power of two, level 0 to 3.
constexpr uint32_t kMinChunkSizeFloor = 1024;
constexpr uint32_t kMaxChunkSizeCeiling = 16 * 1024 * 1024;
constexpr uint32_t kMaxNormalisationLevel = 3;
bool ValidChunkerParams(const ChunkerParams& params);

// The gear table of `seed`: entry i is the i-th output of SplitMix64 started at `seed`.
std::array<uint64_t, 256> GearTable(uint64_t seed);

// Finds the cut points of a stream fed in pieces of any size.
class Chunker {
  public:
    // Parameters that ValidChunkerParams refuses make a chunker that never cuts
    // (valid() is false).
    explicit Chunker(const ChunkerParams& params = {});

    bool valid() const { return valid_; }
    const ChunkerParams& params() const { return params_; }

    // Reads `data` up to the next cut point: returns how many bytes it took, with `cut`
    // true when the last of them ends a chunk. Bytes after a cut wait for the next call.
    size_t Next(const uint8_t* data, size_t size, bool& cut);
    // Takes all of `data`, appending the end offset (from the stream's start) of every
    // chunk that ends in it to `cuts`.
    void Feed(const uint8_t* data, size_t size, std::vector<uint64_t>& cuts);
    // Ends the stream: true when the bytes since the last cut form a last, shorter
    // chunk, which ends at position(). Nothing may be fed afterwards.
    bool Finish();

    // Bytes taken since the stream began.
    uint64_t position() const { return position_; }

  private:
    ChunkerParams params_;
    bool valid_ = false;
    uint64_t maskStrict_ = 0;
    uint64_t maskLoose_ = 0;
    std::array<uint64_t, 256> gear_{};
    uint64_t hash_ = 0;
    uint64_t inChunk_ = 0;  // bytes of the current chunk taken
    uint64_t position_ = 0;
};

}  // namespace zefo
