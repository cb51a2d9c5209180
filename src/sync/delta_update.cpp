#include "sync/delta_update.h"

#include <algorithm>
#include <memory>
#include <string>

#include "base/ascii.h"
#include "base/md5.h"
#include "net/crypto.h"
#include "sync/span_sink.h"

namespace zefo {

namespace {

// Files are read and copied in pieces of this size.
constexpr size_t kPiece = size_t{1} << 20;

std::string DigestHex(const uint8_t* digest, size_t size) {
    return HexText(std::string_view(reinterpret_cast<const char*>(digest), size));
}

// Reads exactly `length` bytes at `offset`.
bool ReadExactly(const NativeFile& file, uint64_t offset, uint8_t* out, size_t length) {
    while (length > 0) {
        const int64_t got = ReadAtOffset(file, offset, out, length);
        if (got <= 0)
            return false;
        offset += static_cast<uint64_t>(got);
        out += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// The chunks of the whole file, cut with `params`, that the new file of `target` has
// too, added to `source`; false when it cannot be read.
bool ChunkFile(const NativeFile& file, const ChunkerParams& params, const ChunkLookup& target, LocalSource& source) {
    const uint64_t size = source.size;
    ChunkHasher hasher(params);
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(kPiece, size)));
    for (uint64_t at = 0; at < size;) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(piece.size(), size - at));
        if (!ReadExactly(file, at, piece.data(), length))
            return false;
        hasher.Update(piece.data(), length);
        for (const Chunk& chunk : hasher.TakeChunks())
            Hold(source, target, chunk);
        at += length;
    }
    if (!hasher.Finish())
        return false;
    for (const Chunk& chunk : hasher.TakeChunks())
        Hold(source, target, chunk);
    return true;
}

// A writer into the file at the range's offsets.
class FileRangeWriter : public RangeWriter {
  public:
    FileRangeWriter(const NativeFile& file, const ByteRange& range)
        : span_(file, static_cast<int64_t>(range.offset), static_cast<int64_t>(range.length)) {}

    bool Write(const void* data, size_t size) override { return span_.Append(static_cast<const char*>(data), size); }
    uint64_t written() const { return static_cast<uint64_t>(span_.written()); }

  private:
    SpanSink span_;
};

// The chunks with bytes in remote spans of `plan`.
std::vector<bool> RemoteChunks(const ChunkList& chunks, const Plan& plan) {
    std::vector<bool> remote(chunks.size(), false);
    size_t c = 0;
    for (const Span& span : plan) {
        if (!span.remote())
            continue;
        while (c < chunks.size() && chunks.end(c) <= span.offset)
            ++c;
        for (; c < chunks.size() && chunks.offset(c) < span.offset + span.length; ++c)
            remote[c] = true;
        if (c > 0)
            --c;  // the last one may reach into the next span
    }
    return remote;
}

// The block-level spans found for the remote chunks of `plan`, their records fetched
// through `fetch`, all requests at once; the searches are taken in order up to the
// first whose records did not come whole.
std::vector<Span> FindLocalBlocks(const ChunkIndex& index,
                                  const Plan& plan,
                                  const DeltaSources& sources,
                                  const FetchRanges& fetch,
                                  DeltaPlan& out) {
    std::vector<Span> found;
    std::vector<BlockSearch> searches = BlockSearches(plan, index.chunks, sources.sources(), kDefaultRegionSlack);
    if (searches.size() > kMaxBlockSearches)
        searches.resize(kMaxBlockSearches);
    std::vector<BlockSearch> asked;
    std::vector<ByteRange> ranges;
    for (const BlockSearch& search : searches) {
        const ByteRange range = BlockRecordRange(index, search.firstChunk, search.chunkCount);
        if (range.length == 0)
            continue;
        asked.push_back(search);
        ranges.push_back(range);
    }
    if (ranges.empty())
        return found;
    std::vector<std::string> records(ranges.size());
    const std::vector<int> results = fetch(ranges, records);
    const ReadLocal read = sources.Reader();
    for (size_t n = 0; n < ranges.size(); ++n) {
        const bool came = n < results.size() && results[n] == 0;
        if (n < results.size())
            ++out.blockRecordRequests;
        out.blockRecordBytes += records[n].size();
        std::vector<BlockRecord> parsed;
        if (!came || records[n].size() != ranges[n].length ||
            !ParseBlockRecords(records[n], ranges[n].length / kBlockRecordSize, parsed))
            break;
        std::vector<Span> more = FindBlocks(asked[n], index.chunks, parsed, index.header.blockSize, read);
        found.insert(found.end(), more.begin(), more.end());
    }
    return found;
}

// `plan` with the leftover's spans that are not in place fetched instead, unless they
// read bytes that stay in place: every other byte of the temporary file may be
// overwritten before the copies are made.
Plan LeftoverInPlace(const Plan& plan, uint32_t leftover) {
    if (leftover == kRemoteSource)
        return plan;
    auto inPlace = [leftover](const Span& span) { return span.source == leftover && span.sourceOffset == span.offset; };
    // The in-place spans, in file order, which they cover without overlap.
    std::vector<const Span*> kept;
    for (const Span& span : plan) {
        if (inPlace(span))
            kept.push_back(&span);
    }
    auto staysInPlace = [&kept](uint64_t offset, uint64_t length) {
        auto after = std::upper_bound(kept.begin(), kept.end(), offset,
                                      [](uint64_t value, const Span* span) { return value < span->offset; });
        // Joined in-place spans never touch, so one of them must hold the whole range.
        if (after == kept.begin())
            return false;
        const Span& span = **(after - 1);
        return offset + length <= span.offset + span.length;
    };
    Plan out;
    for (const Span& span : plan) {
        if (span.source == leftover && !inPlace(span) && !staysInPlace(span.sourceOffset, span.length))
            out.push_back({span.offset, span.length, kRemoteSource, span.offset});
        else
            out.push_back(span);
    }
    return MergeRemote(out, 0);
}

// Feeds the file's bytes, in order, to the checks of the chunks that need one.
class ChunkChecks {
  public:
    ChunkChecks(const ChunkList& chunks, const std::vector<bool>& checked) : chunks_(chunks), checked_(checked) {}

    // False once a checked chunk ends with another SHA-256.
    bool Take(uint64_t at, const uint8_t* data, size_t size) {
        while (size > 0) {
            while (next_ < chunks_.size() && chunks_.end(next_) <= at)
                ++next_;
            if (next_ == chunks_.size())
                return true;
            const Chunk chunk = chunks_[next_];
            const size_t take = static_cast<size_t>(std::min<uint64_t>(size, chunk.end() - at));
            if (next_ < checked_.size() && checked_[next_]) {
                if (!sha_)
                    sha_ = std::make_unique<Sha256>();
                sha_->Update(data, take);
                if (at + take == chunk.end()) {
                    Sha256Digest digest;
                    const bool same = sha_->Final(digest.data()) && digest == chunk.sha256;
                    sha_.reset();
                    if (!same)
                        return false;
                }
            }
            at += take;
            data += take;
            size -= take;
        }
        return true;
    }

  private:
    const ChunkList& chunks_;
    const std::vector<bool>& checked_;
    size_t next_ = 0;
    std::unique_ptr<Sha256> sha_;
};

}  // namespace

bool TextRangeWriter::Write(const void* data, size_t size) {
    if (size > length_ - text_.size())
        return false;
    text_.append(static_cast<const char*>(data), size);
    return true;
}

bool CheckIndexAgainstListing(const ChunkIndexHeader& header, const DownloadChecks& listed) {
    if (!IsHexText(listed.md5, 32) || !SameHexText(listed.md5, DigestHex(header.fileMd5.data(), 16)))
        return false;
    if (listed.size >= 0 && static_cast<uint64_t>(listed.size) != header.fileSize)
        return false;
    if (!listed.sha256.empty() &&
        (!IsHexText(listed.sha256, 64) || !SameHexText(listed.sha256, DigestHex(header.fileSha256.data(), 32))))
        return false;
    return true;
}

uint32_t DeltaSources::Add(const NativeFile& file, LocalSource source) {
    const uint32_t id = static_cast<uint32_t>(files_.size());
    files_.push_back(&file);
    source.id = id;
    if (source.chunks.capacity() > source.chunks.size() + source.chunks.size() / 8)
        source.chunks.shrink_to_fit();
    sources_.push_back(std::move(source));
    return id;
}

bool DeltaSources::HeldByIndex(const ChunkFeed& remembered,
                               uint64_t size,
                               const ChunkerParams* chunker,
                               size_t expected,
                               LocalSource& out) const {
    out = LocalSource{0, size, {}};
    out.chunks.reserve(expected);
    ChunkIndexHeader header;
    if (remembered && remembered(header, [&](const Chunk& chunk) { Hold(out, lookup_, chunk); }) &&
        header.fileSize == size && (!chunker || header.chunker == *chunker))
        return true;
    out.chunks.clear();
    return false;
}

bool DeltaSources::AddOldFile(const NativeFile& file, const ChunkFeed& remembered) {
    const int64_t size = FileSizeOf(file);
    if (size < 0)
        return false;
    LocalSource source;
    // The old file most often holds about as many of the new file's chunks as it has.
    if (!HeldByIndex(remembered, static_cast<uint64_t>(size), &index_.header.chunker, index_.chunks.size(), source) &&
        !ChunkFile(file, index_.header.chunker, lookup_, source))
        return false;
    Add(file, std::move(source));
    return true;
}

bool DeltaSources::AddIndexedFile(const NativeFile& file, const ChunkFeed& remembered) {
    const int64_t size = FileSizeOf(file);
    LocalSource source;
    if (size < 0 || !HeldByIndex(remembered, static_cast<uint64_t>(size), nullptr, 0, source))
        return false;
    Add(file, std::move(source));
    return true;
}

void DeltaSources::AddLeftover(const NativeFile& temporary) {
    const int64_t size = FileSizeOf(temporary);
    if (size <= 0 || leftover_ != kRemoteSource)
        return;
    const uint32_t id = Add(temporary, LocalSource{0, static_cast<uint64_t>(size), {}});
    sources_.back() = VerifyAtFinalOffsets(id, static_cast<uint64_t>(size), lookup_, Reader());
    leftover_ = id;
}

ReadLocal DeltaSources::Reader() const {
    return [this](uint32_t source, uint64_t offset, size_t length, uint8_t* out) {
        const NativeFile* file = this->file(source);
        return file && ReadExactly(*file, offset, out, length);
    };
}

DeltaPlan PlanDelta(const ChunkIndex& index,
                    const DeltaSources& sources,
                    const FetchRange& blockRecords,
                    uint64_t mergeGap) {
    if (!blockRecords)
        return PlanDeltaAtOnce(index, sources, FetchRanges(), mergeGap);
    // One range after the other, up to the first that fails.
    FetchRanges inTurn = [&blockRecords](const std::vector<ByteRange>& ranges, std::vector<std::string>& out) {
        std::vector<int> results;
        for (size_t n = 0; n < ranges.size(); ++n) {
            TextRangeWriter writer(out[n], ranges[n].length);
            results.push_back(blockRecords(ranges[n].offset, ranges[n].length, writer));
            if (results.back() != 0)
                break;
        }
        return results;
    };
    return PlanDeltaAtOnce(index, sources, inTurn, mergeGap);
}

DeltaPlan PlanDeltaAtOnce(const ChunkIndex& index,
                          const DeltaSources& sources,
                          const FetchRanges& blockRecords,
                          uint64_t mergeGap) {
    DeltaPlan out;
    Plan plan = PlanChunks(sources.lookup(), sources.sources());
    out.checkedChunks = RemoteChunks(index.chunks, plan);
    if (blockRecords)
        plan = WithLocalSpans(plan, FindLocalBlocks(index, plan, sources, blockRecords, out));
    plan = LeftoverInPlace(MergeRemote(plan, mergeGap), sources.leftover());
    // A plan that does not cover the file (a source that changed size meanwhile) is
    // fetched whole.
    if (!PlanCovers(plan, index.header.fileSize, sources.sources())) {
        plan.clear();
        if (index.header.fileSize > 0)
            plan.push_back({0, index.header.fileSize, kRemoteSource, 0});
    }
    // Chunks that merged gaps made remote are checked too.
    const std::vector<bool> fetched = RemoteChunks(index.chunks, plan);
    for (size_t c = 0; c < fetched.size(); ++c)
        out.checkedChunks[c] = out.checkedChunks[c] || fetched[c];
    for (const Span& span : plan) {
        if (span.remote())
            out.remote.push_back({span.offset, span.length});
    }
    out.plan = std::move(plan);
    return out;
}

DeltaResult FetchInto(const NativeFile& temporary, const ByteRange& range, const FetchRange& fetch) {
    FileRangeWriter writer(temporary, range);
    if (fetch(range.offset, range.length, writer) != 0 || writer.written() != range.length)
        return DeltaResult::FetchFailed;
    return DeltaResult::Done;
}

DeltaResult AssembleDelta(const ChunkIndex& index,
                          const DeltaPlan& plan,
                          const DeltaSources& sources,
                          const NativeFile& temporary,
                          const DownloadChecks& listed) {
    const uint64_t size = index.header.fileSize;
    if (!CheckIndexAgainstListing(index.header, listed) || !PlanCovers(plan.plan, size, sources.sources()))
        return DeltaResult::IndexMismatch;
    if (!ResizeFile(temporary, static_cast<int64_t>(size)))
        return DeltaResult::LocalFailed;
    Md5 md5;
    std::unique_ptr<Sha256> sha256 = listed.sha256.empty() ? nullptr : std::make_unique<Sha256>();
    ChunkChecks checks(index.chunks, plan.checkedChunks);
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(kPiece, size)));
    for (const Span& span : plan.plan) {
        const NativeFile* from = span.remote() ? &temporary : sources.file(span.source);
        // Fetched bytes and a leftover's in place are read where they lie; the rest copied.
        const bool copied = !span.remote() && !(span.source == sources.leftover() && span.sourceOffset == span.offset);
        for (uint64_t done = 0; done < span.length;) {
            const size_t length = static_cast<size_t>(std::min<uint64_t>(piece.size(), span.length - done));
            if (!from || !ReadExactly(*from, span.sourceOffset + done, piece.data(), length))
                return DeltaResult::LocalFailed;
            if (copied && !WriteAtOffset(temporary, span.offset + done,
                                         std::string_view(reinterpret_cast<const char*>(piece.data()), length)))
                return DeltaResult::LocalFailed;
            md5.Update(piece.data(), length);
            if (sha256)
                sha256->Update(piece.data(), length);
            if (!checks.Take(span.offset + done, piece.data(), length))
                return DeltaResult::ChunkMismatch;
            done += length;
        }
    }
    if (!SameHexText(md5.FinalHex(), listed.md5) || (sha256 && !SameHexText(sha256->FinalHex(), listed.sha256)))
        return DeltaResult::FileMismatch;
    return DeltaResult::Done;
}

DeltaBytes CountDeltaBytes(const ChunkIndex& index, const DeltaPlan& plan) {
    const PlanTotals totals = Totals(plan.plan);
    DeltaBytes bytes;
    bytes.fileSize = index.header.fileSize;
    bytes.fetched = totals.remoteBytes;
    bytes.ranges = totals.remoteRanges;
    bytes.reused = totals.localBytes;
    bytes.indexBytes = kChunkIndexHeaderSize + index.chunks.size() * kChunkRecordSize + plan.blockRecordBytes;
    return bytes;
}

}  // namespace zefo
