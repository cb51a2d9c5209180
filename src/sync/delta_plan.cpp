#include "sync/delta_plan.h"

#include <algorithm>
#include <cstring>

#include "net/crypto.h"

namespace zefo {

namespace {

// Adds `span` to the end of `plan`, joined to the last span when it continues it in
// the new file and in the same source.
void Append(Plan& plan, const Span& span) {
    if (span.length == 0)
        return;
    if (!plan.empty()) {
        Span& last = plan.back();
        if (last.source == span.source && last.offset + last.length == span.offset &&
            last.sourceOffset + last.length == span.sourceOffset) {
            last.length += span.length;
            return;
        }
    }
    plan.push_back(span);
}

Span RemoteSpan(uint64_t offset, uint64_t length) {
    return {offset, length, kRemoteSource, offset};
}

const LocalSource* SourceWithId(const std::vector<LocalSource>& sources, uint32_t id) {
    for (const LocalSource& source : sources) {
        if (source.id == id)
            return &source;
    }
    return nullptr;
}

// The index of the chunk of `target` that holds byte `offset` (target.size() past the end).
size_t ChunkAt(const ChunkList& target, uint64_t offset) {
    // The first chunk that ends after `offset`.
    size_t low = 0, high = target.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (target.end(middle) <= offset)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// Bytes of one region, read through the callback in windows that move forward only.
class RegionReader {
  public:
    RegionReader(const ReadLocal& read, const Region& region, size_t window)
        : read_(read), region_(region), window_(window) {}

    // The bytes [at, at + length) of the source, or null when they cannot be read or lie
    // beyond the region. `at` never goes back before an earlier call's.
    const uint8_t* At(uint64_t at, size_t length) {
        const uint64_t end = region_.offset + region_.length;
        if (at < region_.offset || at > end || length > end - at)
            return nullptr;
        if (at < start_ || at + length > start_ + bytes_.size()) {
            const size_t size = static_cast<size_t>(std::min<uint64_t>(std::max(window_, length), end - at));
            bytes_.resize(size);
            if (!read_(region_.source, at, size, bytes_.data())) {
                bytes_.clear();
                return nullptr;
            }
            start_ = at;
        }
        return bytes_.data() + (at - start_);
    }

  private:
    const ReadLocal& read_;
    Region region_;
    size_t window_;
    uint64_t start_ = 0;
    std::vector<uint8_t> bytes_;
};

struct TargetBlock {
    uint64_t offset;  // in the new file
    uint32_t length;
    BlockRecord record;
    int64_t found = -1;  // where in `source`, once found
    uint32_t source = 0;
    size_t group = 0;  // the first of its equals in the table's keys (full blocks only)
};

// The blocks searched for. Full blocks are looked up by weak sum, then strong hash;
// blocks with equal records form a group found all at once, so that no position costs
// more than one strong hash and two binary searches, whatever the records hold.
class BlockTable {
  public:
    static constexpr size_t kNone = SIZE_MAX;

    BlockTable(std::vector<TargetBlock> blocks, uint32_t blockSize)
        : blocks_(std::move(blocks)), blockSize_(blockSize), missing_(blocks_.size()), filter_(1024) {
        for (size_t b = 0; b < blocks_.size(); ++b) {
            if (blocks_[b].length == blockSize) {
                keys_.push_back({blocks_[b].record.weak, blocks_[b].record.strong, b});
                const uint32_t bucket = Bucket(blocks_[b].record.weak);
                filter_[bucket >> 6] |= uint64_t{1} << (bucket & 63);
            }
        }
        std::sort(keys_.begin(), keys_.end());
        for (size_t k = 0; k < keys_.size(); ++k) {
            const bool first = k == 0 || keys_[k].weak != keys_[k - 1].weak || keys_[k].strong != keys_[k - 1].strong;
            blocks_[keys_[k].block].group = first ? k : blocks_[keys_[k - 1].block].group;
        }
    }

    // The first block of a group not found yet whose records `bytes` (a full block with
    // weak sum `weak`) match, or kNone.
    size_t Lookup(uint32_t weak, const uint8_t* bytes) const {
        const uint32_t bucket = Bucket(weak);
        if (!(filter_[bucket >> 6] >> (bucket & 63) & 1))
            return kNone;
        auto same = std::lower_bound(keys_.begin(), keys_.end(), Key{weak, 0, 0});
        if (same == keys_.end() || same->weak != weak)
            return kNone;
        const uint64_t strong = StrongHash(bytes, blockSize_);
        auto match = std::lower_bound(same, keys_.end(), Key{weak, strong, 0});
        if (match == keys_.end() || match->weak != weak || match->strong != strong)
            return kNone;
        return blocks_[match->block].found < 0 ? match->block : kNone;
    }

    // True when `bytes` hold block `b` (of any length).
    bool Holds(size_t b, const uint8_t* bytes) const {
        const TargetBlock& block = blocks_[b];
        return WeakSum(bytes, block.length) == block.record.weak &&
               StrongHash(bytes, block.length) == block.record.strong;
    }

    // Block `b`, and every full block equal to it, found at `at` in `source`.
    void Mark(size_t b, uint64_t at, uint32_t source) {
        if (blocks_[b].length != blockSize_) {
            Found(blocks_[b], at, source);
            return;
        }
        for (size_t k = blocks_[b].group; k < keys_.size() && blocks_[keys_[k].block].group == blocks_[b].group; ++k)
            Found(blocks_[keys_[k].block], at, source);
    }

    const std::vector<TargetBlock>& blocks() const { return blocks_; }
    size_t missing() const { return missing_; }

  private:
    struct Key {
        uint32_t weak;
        uint64_t strong;
        size_t block;
        bool operator<(const Key& other) const {
            return weak != other.weak       ? weak < other.weak
                   : strong != other.strong ? strong < other.strong
                                            : block < other.block;
        }
    };

    static uint32_t Bucket(uint32_t weak) { return (weak * 0x9e3779b1u) >> 16; }

    void Found(TargetBlock& block, uint64_t at, uint32_t source) {
        if (block.found >= 0)
            return;
        block.found = static_cast<int64_t>(at);
        block.source = source;
        --missing_;
    }

    std::vector<TargetBlock> blocks_;
    uint32_t blockSize_;
    size_t missing_;
    std::vector<Key> keys_;
    std::vector<uint64_t> filter_;  // 2^16 bits, one per bucket of weak sums: most positions fail here
};

}  // namespace

void Hold(LocalSource& source, const ChunkLookup& target, const Chunk& chunk) {
    if (chunk.length == 0 || chunk.offset > source.size || chunk.length > source.size - chunk.offset)
        return;
    const uint32_t found = target.Find(chunk);
    if (found != ChunkLookup::kNone)
        source.chunks.push_back({chunk.offset, found});
}

LocalSource SourceOf(uint32_t id, uint64_t size, const std::vector<Chunk>& chunks, const ChunkLookup& target) {
    LocalSource source{id, size, {}};
    for (const Chunk& chunk : chunks)
        Hold(source, target, chunk);
    return source;
}

Plan PlanChunks(const ChunkLookup& target, const std::vector<LocalSource>& sources) {
    const ChunkList& chunks = target.chunks();
    auto sound = [&](size_t s, size_t h) {
        const HeldChunk& held = sources[s].chunks[h];
        return held.chunk < chunks.size() && held.offset <= sources[s].size &&
               chunks.length(held.chunk) <= sources[s].size - held.offset;
    };
    // The first place any source holds each chunk at, by the first chunk of the new file
    // with its bytes: the place's number among the held chunks of all sources in order.
    constexpr uint32_t kNowhere = UINT32_MAX;
    std::vector<uint32_t> first(chunks.size(), kNowhere);
    std::vector<uint64_t> numbered(sources.size() + 1, 0);  // the places before each source's
    for (size_t s = 0; s < sources.size(); ++s) {
        numbered[s + 1] = numbered[s] + sources[s].chunks.size();
        for (size_t h = 0; h < sources[s].chunks.size() && numbered[s] + h < kNowhere; ++h) {
            if (sound(s, h) && first[sources[s].chunks[h].chunk] == kNowhere)
                first[sources[s].chunks[h].chunk] = static_cast<uint32_t>(numbered[s] + h);
        }
    }
    struct Place {
        size_t source;
        size_t held;
    };
    auto placeOf = [&numbered](uint32_t number) {
        size_t s = 0;
        while (numbered[s + 1] <= number)
            ++s;
        return Place{s, number - numbered[s]};
    };

    Plan plan;
    bool continues = false;  // the last span is local and ends with the chunk at `last`
    Place last{0, 0};
    for (size_t i = 0; i < chunks.size(); ++i) {
        const uint32_t same = target.Find(chunks.digest(i), chunks.length(i));
        bool local = same != ChunkLookup::kNone && first[same] != kNowhere;
        Place from = local ? placeOf(first[same]) : Place{0, 0};
        // The chunk the same source holds next, when it continues the span.
        if (continues && same != ChunkLookup::kNone) {
            const std::vector<HeldChunk>& held = sources[last.source].chunks;
            const size_t next = last.held + 1;
            if (next < held.size() && held[next].chunk == same &&
                held[next].offset == held[last.held].offset + chunks.length(held[last.held].chunk) &&
                sound(last.source, next)) {
                from = {last.source, next};
                local = true;
            }
        }
        if (local) {
            const LocalSource& source = sources[from.source];
            Append(plan, Span{chunks.offset(i), chunks.length(i), source.id, source.chunks[from.held].offset});
        } else {
            Append(plan, RemoteSpan(chunks.offset(i), chunks.length(i)));
        }
        continues = local;
        last = from;
    }
    return plan;
}

LocalSource VerifyAtFinalOffsets(uint32_t id, uint64_t size, const ChunkLookup& target, const ReadLocal& read) {
    LocalSource source;
    source.id = id;
    source.size = size;
    std::vector<uint8_t> bytes;
    const ChunkList& chunks = target.chunks();
    for (size_t i = 0; i < chunks.size(); ++i) {
        const Chunk chunk = chunks[i];
        if (chunk.length == 0 || chunk.length > kMaxChunkSizeCeiling || chunk.offset > size ||
            chunk.length > size - chunk.offset)
            continue;
        bytes.resize(chunk.length);
        if (!read(id, chunk.offset, chunk.length, bytes.data()))
            continue;
        Sha256 sha;
        sha.Update(bytes.data(), bytes.size());
        Sha256Digest digest;
        if (sha.Final(digest.data()) && digest == chunk.sha256)
            Hold(source, target, chunk);
    }
    return source;
}

std::vector<BlockSearch> BlockSearches(const Plan& plan,
                                       const ChunkList& target,
                                       const std::vector<LocalSource>& sources,
                                       uint64_t slack) {
    std::vector<BlockSearch> searches;
    size_t i = 0;
    while (i < plan.size()) {
        if (!plan[i].remote()) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < plan.size() && plan[j].remote())
            ++j;
        const uint64_t runStart = plan[i].offset;
        const uint64_t runEnd = plan[j - 1].offset + plan[j - 1].length;
        const uint64_t run = runEnd - runStart;
        const size_t firstChunk = ChunkAt(target, runStart);
        const size_t lastChunk = ChunkAt(target, runEnd - 1);
        const Span* before = i > 0 ? &plan[i - 1] : nullptr;
        const Span* after = j < plan.size() ? &plan[j] : nullptr;
        i = j;
        if (firstChunk >= target.size() || lastChunk >= target.size())
            continue;

        BlockSearch search;
        search.firstChunk = firstChunk;
        search.chunkCount = lastChunk - firstChunk + 1;
        const LocalSource* beforeSource = before ? SourceWithId(sources, before->source) : nullptr;
        const LocalSource* afterSource = after ? SourceWithId(sources, after->source) : nullptr;
        // The run's bytes most likely lie just after the span before it and just before
        // the span after it, in their sources; where the two stretches meet they are one.
        // (Between the two alone is not enough: equal chunks may have been taken from
        // anywhere.)
        if (beforeSource) {
            const uint64_t from = before->sourceOffset + before->length;
            if (from < beforeSource->size)
                search.regions.push_back({beforeSource->id, from, std::min(run + slack, beforeSource->size - from)});
        }
        if (afterSource) {
            const uint64_t to = after->sourceOffset;
            if (to > 0 && to <= afterSource->size) {
                const uint64_t reach = std::min(run + slack, to);
                Region region{afterSource->id, to - reach, reach};
                Region* first = search.regions.empty() ? nullptr : &search.regions.front();
                if (first && first->source == region.source && region.offset <= first->offset + first->length &&
                    first->offset <= region.offset + region.length) {
                    const uint64_t end = std::max(first->offset + first->length, to);
                    first->offset = std::min(first->offset, region.offset);
                    first->length = end - first->offset;
                } else {
                    search.regions.push_back(region);
                }
            }
        }
        if (!search.regions.empty())
            searches.push_back(std::move(search));
    }
    return searches;
}

std::vector<Span> FindBlocks(const BlockSearch& search,
                             const ChunkList& target,
                             const std::vector<BlockRecord>& records,
                             uint32_t blockSize,
                             const ReadLocal& read,
                             size_t window) {
    if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize || search.firstChunk > target.size() ||
        search.chunkCount > target.size() - search.firstChunk)
        return {};
    std::vector<TargetBlock> blocks;
    for (size_t c = search.firstChunk; c < search.firstChunk + search.chunkCount; ++c) {
        const Chunk chunk = target[c];
        for (uint64_t at = 0; at < chunk.length; at += blockSize) {
            if (blocks.size() == records.size())
                return {};
            const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(blockSize, chunk.length - at));
            blocks.push_back({chunk.offset + at, length, records[blocks.size()], -1, 0, 0});
        }
    }
    if (blocks.size() != records.size())
        return {};

    BlockTable table(std::move(blocks), blockSize);
    window = std::max<size_t>(window, 2 * size_t{blockSize});
    for (const Region& region : search.regions) {
        if (table.missing() == 0)
            break;
        RegionReader reader(read, region, window);
        const uint64_t end = region.offset + region.length;
        uint64_t at = region.offset;
        RollingSum sum;
        bool rolling = false;
        while (at <= end && end - at >= blockSize) {
            const uint8_t* bytes = reader.At(at, blockSize);
            if (!bytes)
                break;
            if (!rolling) {
                sum.Reset(bytes, blockSize);
                rolling = true;
            }
            const size_t matched = table.Lookup(sum.value(), bytes);
            if (matched != BlockTable::kNone) {
                table.Mark(matched, at, region.source);
                // The blocks after a found one most often follow it in the source too
                // (the short last block of a chunk is found only this way).
                uint64_t next = at + blockSize;
                for (size_t b = matched + 1; b < table.blocks().size() && table.blocks()[b].found < 0; ++b) {
                    const uint8_t* following = reader.At(next, table.blocks()[b].length);
                    if (!following || !table.Holds(b, following))
                        break;
                    table.Mark(b, next, region.source);
                    next += table.blocks()[b].length;
                }
                at = next;
                rolling = false;
                if (table.missing() == 0)
                    break;
                continue;
            }
            if (end - at == blockSize)
                break;
            const uint8_t* moved = reader.At(at, size_t{blockSize} + 1);
            if (!moved)
                break;
            sum.Roll(moved[0], moved[blockSize]);
            ++at;
        }
    }

    std::vector<Span> found;
    for (const TargetBlock& block : table.blocks()) {
        if (block.found >= 0)
            Append(found, Span{block.offset, block.length, block.source, static_cast<uint64_t>(block.found)});
    }
    return found;
}

Plan WithLocalSpans(const Plan& plan, std::vector<Span> found) {
    std::sort(found.begin(), found.end(), [](const Span& a, const Span& b) { return a.offset < b.offset; });
    Plan out;
    size_t next = 0;
    for (const Span& span : plan) {
        if (!span.remote()) {
            Append(out, span);
            continue;
        }
        uint64_t cursor = span.offset;
        const uint64_t end = span.offset + span.length;
        while (next < found.size() && found[next].offset < end) {
            const Span& local = found[next];
            const uint64_t localEnd = local.offset + local.length;
            if (local.remote() || localEnd <= cursor) {
                ++next;
                continue;
            }
            const uint64_t from = std::max(local.offset, cursor);
            const uint64_t to = std::min(localEnd, end);
            Append(out, RemoteSpan(cursor, from - cursor));
            Append(out, Span{from, to - from, local.source, local.sourceOffset + (from - local.offset)});
            cursor = to;
            if (localEnd > end)
                break;
            ++next;
        }
        Append(out, RemoteSpan(cursor, end - cursor));
    }
    return out;
}

Plan MergeRemote(const Plan& plan, uint64_t gap) {
    Plan out;
    size_t i = 0;
    while (i < plan.size()) {
        if (plan[i].remote() || i == 0 || !plan[i - 1].remote()) {
            Append(out, plan[i]);
            ++i;
            continue;
        }
        // A run of local spans after a remote one: fetched too when short and followed
        // by another remote span.
        size_t j = i;
        uint64_t length = 0;
        while (j < plan.size() && !plan[j].remote())
            length += plan[j++].length;
        const bool fetch = j < plan.size() && length < gap;
        for (; i < j; ++i)
            Append(out, fetch ? RemoteSpan(plan[i].offset, plan[i].length) : plan[i]);
    }
    return out;
}

PlanTotals Totals(const Plan& plan) {
    PlanTotals totals;
    for (size_t i = 0; i < plan.size(); ++i) {
        const Span& span = plan[i];
        if (span.remote()) {
            totals.remoteBytes += span.length;
            if (i == 0 || !plan[i - 1].remote() || plan[i - 1].offset + plan[i - 1].length != span.offset)
                ++totals.remoteRanges;
        } else {
            totals.localBytes += span.length;
            ++totals.localSpans;
        }
    }
    return totals;
}

bool PlanCovers(const Plan& plan, uint64_t fileSize, const std::vector<LocalSource>& sources) {
    uint64_t at = 0;
    for (const Span& span : plan) {
        if (span.offset != at || span.length == 0 || span.length > fileSize - at)
            return false;
        if (span.remote()) {
            if (span.sourceOffset != span.offset)
                return false;
        } else {
            const LocalSource* source = SourceWithId(sources, span.source);
            if (!source || span.sourceOffset > source->size || span.length > source->size - span.sourceOffset)
                return false;
        }
        at += span.length;
    }
    return at == fileSize;
}

}  // namespace zefo
