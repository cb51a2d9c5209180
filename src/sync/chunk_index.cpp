#include "sync/chunk_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/md5.h"
#include "net/crypto.h"

namespace zefo {

namespace {

static_assert(std::endian::native == std::endian::little, "the index formats are read and written in place");

// Header fields, at their offsets.
constexpr size_t kVersionAt = 8;
constexpr size_t kHeaderSizeAt = 12;
constexpr size_t kMinAt = 16;
constexpr size_t kAvgAt = 20;
constexpr size_t kMaxAt = 24;
constexpr size_t kLevelAt = 28;
constexpr size_t kSeedAt = 32;
constexpr size_t kBlockSizeAt = 40;
constexpr size_t kBlockRecordSizeAt = 44;
constexpr size_t kFileSizeAt = 48;
constexpr size_t kFileShaAt = 56;
constexpr size_t kFileMd5At = 88;
constexpr size_t kChunkCountAt = 104;
static_assert(kChunkCountAt + 8 == kChunkIndexHeaderSize);

uint32_t Get32(const char* at) {
    uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}

uint64_t Get64(const char* at) {
    uint64_t value;
    std::memcpy(&value, at, 8);
    return value;
}

void Put32(std::string& out, uint32_t value) {
    out.append(reinterpret_cast<const char*>(&value), 4);
}

void Put64(std::string& out, uint64_t value) {
    out.append(reinterpret_cast<const char*>(&value), 8);
}

uint64_t Load64(const uint8_t* at) {
    uint64_t value;
    std::memcpy(&value, at, 8);
    return value;
}

__extension__ using Wide = unsigned __int128;

// The full 128-bit product folded to 64 bits: every input bit reaches most output bits.
uint64_t Fold(uint64_t a, uint64_t b) {
    const Wide product = static_cast<Wide>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

constexpr uint64_t kLane0 = 0x9e3779b97f4a7c15;
constexpr uint64_t kLane1 = 0xc2b2ae3d27d4eb4f;
constexpr uint64_t kLane2 = 0x165667b19e3779f9;
constexpr uint64_t kLane3 = 0xd6e8feb86659fd93;

// Orders chunks by digest (its first 8 bytes as a number first), then length.
int CompareChunks(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
    const uint64_t aHead = Load64(a), bHead = Load64(b);
    if (aHead != bHead)
        return aHead < bHead ? -1 : 1;
    if (const int order = std::memcmp(a + 8, b + 8, 24); order != 0)
        return order;
    return aLength == bLength ? 0 : aLength < bLength ? -1 : 1;
}

}  // namespace

bool ParseChunkIndexHeader(std::string_view bytes, ChunkIndexHeader& header) {
    if (bytes.size() < kChunkIndexHeaderSize || std::memcmp(bytes.data(), kChunkIndexMagic, 8) != 0)
        return false;
    const char* at = bytes.data();
    if (Get32(at + kVersionAt) != kChunkIndexVersion || Get32(at + kHeaderSizeAt) != kChunkIndexHeaderSize ||
        Get32(at + kBlockRecordSizeAt) != kBlockRecordSize)
        return false;
    ChunkIndexHeader read;
    read.chunker.minSize = Get32(at + kMinAt);
    read.chunker.avgSize = Get32(at + kAvgAt);
    read.chunker.maxSize = Get32(at + kMaxAt);
    read.chunker.level = Get32(at + kLevelAt);
    read.chunker.seed = Get64(at + kSeedAt);
    read.blockSize = Get32(at + kBlockSizeAt);
    read.fileSize = Get64(at + kFileSizeAt);
    std::memcpy(read.fileSha256.data(), at + kFileShaAt, 32);
    std::memcpy(read.fileMd5.data(), at + kFileMd5At, 16);
    read.chunkCount = Get64(at + kChunkCountAt);
    if (!ValidChunkerParams(read.chunker) || read.blockSize < kMinBlockSize || read.blockSize > kMaxBlockSize)
        return false;
    // Every chunk but the last holds min to max bytes, the last 1 to max.
    const uint64_t count = read.chunkCount;
    if (count > kMaxChunkCount || (count == 0) != (read.fileSize == 0) ||
        count > read.fileSize / read.chunker.minSize + 1 || read.fileSize > count * read.chunker.maxSize)
        return false;
    header = read;
    return true;
}

bool ChunkIndexReader::Record(const char* record, const ChunkVisitor& each) {
    const uint64_t end = Get64(record);
    const bool last = records_ + 1 == header_.chunkCount;
    if (records_ >= header_.chunkCount || end <= offset_ || end - offset_ > header_.chunker.maxSize ||
        (!last && end - offset_ < header_.chunker.minSize))
        return false;
    Chunk chunk;
    chunk.offset = offset_;
    chunk.length = static_cast<uint32_t>(end - offset_);
    std::memcpy(chunk.sha256.data(), record + 8, 32);
    each(chunk);
    offset_ = end;
    ++records_;
    return true;
}

bool ChunkIndexReader::Update(std::string_view bytes, const ChunkVisitor& each) {
    while (!failed_ && !bytes.empty()) {
        const size_t want = headerRead_ ? kChunkRecordSize : kChunkIndexHeaderSize;
        // Whole records straight from the bytes, pieces of one through `pending_`.
        if (pending_.empty() && bytes.size() >= want) {
            if (headerRead_)
                failed_ = !Record(bytes.data(), each);
            else
                failed_ = !(headerRead_ = ParseChunkIndexHeader(bytes.substr(0, want), header_));
            bytes.remove_prefix(want);
            continue;
        }
        const size_t take = std::min(want - pending_.size(), bytes.size());
        pending_.append(bytes.data(), take);
        bytes.remove_prefix(take);
        if (pending_.size() < want)
            break;
        if (headerRead_)
            failed_ = !Record(pending_.data(), each);
        else
            failed_ = !(headerRead_ = ParseChunkIndexHeader(pending_, header_));
        pending_.clear();
    }
    return !failed_;
}

bool ChunkIndexReader::Finish() const {
    return !failed_ && headerRead_ && pending_.empty() && records_ == header_.chunkCount && offset_ == header_.fileSize;
}

bool ParseChunkIndex(std::string_view bytes, ChunkIndex& index) {
    index = ChunkIndex();
    ChunkIndexHeader header;
    if (!ParseChunkIndexHeader(bytes, header) ||
        bytes.size() != kChunkIndexHeaderSize + header.chunkCount * kChunkRecordSize)
        return false;
    ChunkIndex read;
    read.chunks.reserve(header.chunkCount);
    ChunkIndexReader reader;
    if (!reader.Update(bytes, [&read](const Chunk& chunk) { read.chunks.push_back(chunk); }) || !reader.Finish())
        return false;
    read.header = reader.header();
    MarkBlocks(read);
    index = std::move(read);
    return true;
}

void ChunkList::push_back(const Chunk& chunk) {
    if (bytes_.empty())
        bytes_.resize(kChunkIndexHeaderSize);
    Put64(bytes_, chunk.end());
    bytes_.append(reinterpret_cast<const char*>(chunk.sha256.data()), chunk.sha256.size());
}

void ChunkList::AppendRecord(const char* record) {
    if (bytes_.empty())
        bytes_.resize(kChunkIndexHeaderSize);
    bytes_.append(record, kChunkRecordSize);
}

bool ChunkList::operator==(const ChunkList& other) const {
    return size() == other.size() &&
           (empty() || std::memcmp(Record(0), other.Record(0), size() * kChunkRecordSize) == 0);
}

bool operator==(const ChunkList& list, const std::vector<Chunk>& chunks) {
    if (list.size() != chunks.size())
        return false;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (list[i] != chunks[i])
            return false;
    }
    return true;
}

ChunkLookup::ChunkLookup(const ChunkList& chunks) : chunks_(chunks), order_(chunks.size()) {
    for (size_t i = 0; i < order_.size(); ++i)
        order_[i] = static_cast<uint32_t>(i);
    std::sort(order_.begin(), order_.end(), [&chunks](uint32_t a, uint32_t b) {
        const int order = CompareChunks(chunks.digest(a), chunks.length(a), chunks.digest(b), chunks.length(b));
        return order != 0 ? order < 0 : a < b;
    });
}

uint32_t ChunkLookup::Find(const uint8_t* sha256, uint32_t length) const {
    auto at = std::lower_bound(order_.begin(), order_.end(), 0u, [&](uint32_t chunk, uint32_t) {
        return CompareChunks(chunks_.digest(chunk), chunks_.length(chunk), sha256, length) < 0;
    });
    if (at == order_.end() || CompareChunks(chunks_.digest(*at), chunks_.length(*at), sha256, length) != 0)
        return kNone;
    return *at;
}

void MarkBlocks(ChunkIndex& index) {
    index.blockMarks.clear();
    index.blockMarks.reserve(index.chunks.size() / kBlockMarkStep + 2);
    uint64_t total = 0;
    for (size_t i = 0; i < index.chunks.size(); ++i) {
        if (i % kBlockMarkStep == 0)
            index.blockMarks.push_back(total);
        total += BlocksOf(index.chunks.length(i), index.header.blockSize);
    }
    index.blockMarks.push_back(total);
}

uint64_t FirstBlock(const ChunkIndex& index, size_t chunk) {
    const size_t count = index.chunks.size();
    if (chunk > count || index.blockMarks.size() != (count + kBlockMarkStep - 1) / kBlockMarkStep + 1)
        return 0;
    if (chunk == count)
        return index.blockMarks.back();
    uint64_t total = index.blockMarks[chunk / kBlockMarkStep];
    for (size_t i = chunk - chunk % kBlockMarkStep; i < chunk; ++i)
        total += BlocksOf(index.chunks.length(i), index.header.blockSize);
    return total;
}

ChunkFeed FeedOf(const ChunkIndex& index) {
    return [&index](ChunkIndexHeader& header, const ChunkVisitor& each) {
        header = index.header;
        for (const Chunk& chunk : index.chunks)
            each(chunk);
        return true;
    };
}

namespace {

// A .zci's header for `header` with `count` chunks.
std::string HeaderBytes(const ChunkIndexHeader& header, uint64_t count) {
    std::string out(kChunkIndexMagic, 8);
    Put32(out, kChunkIndexVersion);
    Put32(out, kChunkIndexHeaderSize);
    Put32(out, header.chunker.minSize);
    Put32(out, header.chunker.avgSize);
    Put32(out, header.chunker.maxSize);
    Put32(out, header.chunker.level);
    Put64(out, header.chunker.seed);
    Put32(out, header.blockSize);
    Put32(out, kBlockRecordSize);
    Put64(out, header.fileSize);
    out.append(reinterpret_cast<const char*>(header.fileSha256.data()), 32);
    out.append(reinterpret_cast<const char*>(header.fileMd5.data()), 16);
    Put64(out, count);
    return out;
}

}  // namespace

std::string ChunkIndexBytes(const ChunkIndex& index) {
    std::string out = HeaderBytes(index.header, index.chunks.size());
    out.append(index.chunks.records());
    return out;
}

std::string ChunkIndexBytes(ChunkIndex&& index) {
    const std::string header = HeaderBytes(index.header, index.chunks.size());
    std::string out = std::move(index.chunks.bytes_);
    index = ChunkIndex();
    if (out.empty())
        return header;
    std::memcpy(out.data(), header.data(), header.size());
    return out;
}

uint64_t MaxChunkIndexSize(uint64_t fileSize) {
    return kChunkIndexHeaderSize + std::min(fileSize / kMinChunkSizeFloor + 1, kMaxChunkCount) * kChunkRecordSize;
}

ByteRange BlockRecordRange(const ChunkIndex& index, size_t first, size_t count) {
    if (first > index.chunks.size() || count > index.chunks.size() - first)
        return {};
    const uint64_t begin = FirstBlock(index, first);
    return {begin * kBlockRecordSize, (FirstBlock(index, first + count) - begin) * kBlockRecordSize};
}

uint64_t BlockIndexSize(const ChunkIndex& index) {
    return FirstBlock(index, index.chunks.size()) * kBlockRecordSize;
}

uint64_t BlocksOf(uint64_t length, uint32_t blockSize) {
    return blockSize == 0 ? 0 : (length + blockSize - 1) / blockSize;
}

bool ParseBlockRecords(std::string_view bytes, size_t count, std::vector<BlockRecord>& records) {
    records.clear();
    if (count > bytes.size() / kBlockRecordSize || bytes.size() != count * kBlockRecordSize)
        return false;
    records.resize(count);
    for (size_t i = 0; i < count; ++i) {
        records[i].weak = Get32(bytes.data() + i * kBlockRecordSize);
        records[i].strong = Get64(bytes.data() + i * kBlockRecordSize + 4);
    }
    return true;
}

uint32_t WeakSum(const uint8_t* data, size_t size) {
    RollingSum sum;
    sum.Reset(data, size);
    return sum.value();
}

void RollingSum::Reset(const uint8_t* data, size_t size) {
    // Sixteen lanes, each over every sixteenth byte, which the compiler turns into
    // vector additions: in lane k, s[k] sums the bytes and t[k] their weights counted
    // in rounds of sixteen, so that b = sum(16 * t[k] - k * s[k]). The tail is added a
    // byte at a time, which raises the weight of every byte before it by one.
    uint32_t s[16] = {}, t[16] = {};
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        for (size_t k = 0; k < 16; ++k) {
            s[k] += data[i + k];
            t[k] += s[k];
        }
    }
    uint32_t a = 0, b = 0;
    for (uint32_t k = 0; k < 16; ++k) {
        a += s[k];
        b += 16 * t[k] - k * s[k];
    }
    for (; i < size; ++i) {
        a += data[i];
        b += a;
    }
    a_ = a;
    b_ = b;
    size_ = static_cast<uint32_t>(size);
}

uint64_t StrongHash(const uint8_t* data, size_t size) {
    // Two lanes of 16 bytes a round; each keeps its state when a product happens to be
    // zero, and the length enters at both ends.
    uint64_t lane0 = kLane0 ^ size;
    uint64_t lane1 = kLane1 + size;
    size_t left = size;
    while (left >= 32) {
        lane0 = Fold(Load64(data) ^ kLane2, Load64(data + 8) ^ lane0) + std::rotl(lane0, 23);
        lane1 = Fold(Load64(data + 16) ^ kLane3, Load64(data + 24) ^ lane1) + std::rotl(lane1, 29);
        data += 32;
        left -= 32;
    }
    if (left > 0) {
        uint8_t tail[32] = {};
        std::memcpy(tail, data, left);
        lane0 = Fold(Load64(tail) ^ kLane2, Load64(tail + 8) ^ lane0) + std::rotl(lane0, 23);
        lane1 = Fold(Load64(tail + 16) ^ kLane3, Load64(tail + 24) ^ lane1) + std::rotl(lane1, 29);
    }
    return Fold(lane0 ^ kLane1, lane1 ^ kLane0 ^ size) ^ lane0;
}

ChunkHasher::ChunkHasher(const ChunkerParams& params)
    : chunker_(params), sha_(std::make_unique<Sha256>()), failed_(!chunker_.valid()) {}

ChunkHasher::~ChunkHasher() = default;

template <typename Piece>
void ChunkHasher::Take(const uint8_t* data, size_t size, Piece&& piece) {
    while (size > 0 && !failed_) {
        bool cut = false;
        const size_t taken = chunker_.Next(data, size, cut);
        if (taken == 0) {
            failed_ = true;
            return;
        }
        sha_->Update(data, taken);
        piece(data, taken, cut);
        if (cut && !EndChunk())
            return;
        data += taken;
        size -= taken;
    }
}

bool ChunkHasher::EndChunk() {
    Chunk chunk;
    chunk.offset = chunkStart_;
    chunk.length = static_cast<uint32_t>(chunker_.position() - chunkStart_);
    if (!sha_->Final(chunk.sha256.data())) {
        failed_ = true;
        return false;
    }
    chunks_.push_back(chunk);
    chunkStart_ = chunker_.position();
    sha_ = std::make_unique<Sha256>();
    return true;
}

void ChunkHasher::Update(const void* data, size_t size) {
    Take(static_cast<const uint8_t*>(data), size, [](const uint8_t*, size_t, bool) {});
}

bool ChunkHasher::Finish() {
    if (!failed_ && chunker_.Finish())
        EndChunk();
    return !failed_;
}

ChunkIndexWriter::ChunkIndexWriter(const ChunkerParams& params, uint32_t blockSize, bool takesMd5)
    : hasher_(params),
      blockSize_(blockSize),
      fileSha_(std::make_unique<Sha256>()),
      fileMd5_(takesMd5 ? std::make_unique<Md5>() : nullptr) {
    if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize)
        hasher_.failed_ = true;
    else
        block_.resize(blockSize);
}

ChunkIndexWriter::~ChunkIndexWriter() = default;

void ChunkIndexWriter::EndBlock(const uint8_t* data, size_t size) {
    Put32(blocks_, WeakSum(data, size));
    Put64(blocks_, StrongHash(data, size));
}

void ChunkIndexWriter::AddBlockBytes(const uint8_t* data, size_t size) {
    while (size > 0) {
        if (blockFill_ == 0 && size >= blockSize_) {
            EndBlock(data, blockSize_);
            data += blockSize_;
            size -= blockSize_;
            continue;
        }
        const size_t take = std::min(blockSize_ - blockFill_, size);
        std::memcpy(block_.data() + blockFill_, data, take);
        blockFill_ += take;
        data += take;
        size -= take;
        if (blockFill_ == blockSize_) {
            EndBlock(block_.data(), blockSize_);
            blockFill_ = 0;
        }
    }
}

void ChunkIndexWriter::Update(const void* data, size_t size) {
    if (hasher_.failed_)
        return;
    fileSha_->Update(data, size);
    if (fileMd5_)
        fileMd5_->Update(data, size);
    fileSize_ += size;
    hasher_.Take(static_cast<const uint8_t*>(data), size, [this](const uint8_t* piece, size_t length, bool ends) {
        AddBlockBytes(piece, length);
        if (ends && blockFill_ > 0) {
            EndBlock(block_.data(), blockFill_);
            blockFill_ = 0;
        }
    });
}

bool ChunkIndexWriter::Finish(std::string& chunkIndex, std::string& blockIndex, const uint8_t* givenMd5) {
    chunkIndex.clear();
    blockIndex.clear();
    if (hasher_.failed_)
        return false;
    if (hasher_.chunker_.Finish()) {
        if (blockFill_ > 0)
            EndBlock(block_.data(), blockFill_);
        blockFill_ = 0;
        if (!hasher_.EndChunk())
            return false;
    }
    index_ = ChunkIndex();
    ChunkIndexHeader& header = index_.header;
    header.chunker = hasher_.chunker_.params();
    header.blockSize = blockSize_;
    header.fileSize = fileSize_;
    if (!fileSha_->Final(header.fileSha256.data()))
        return false;
    if (fileMd5_)
        fileMd5_->Final(header.fileMd5.data());
    else if (givenMd5)
        std::memcpy(header.fileMd5.data(), givenMd5, header.fileMd5.size());
    else
        return false;
    index_.chunks.reserve(hasher_.chunks_.size());
    for (const Chunk& chunk : hasher_.chunks_)
        index_.chunks.push_back(chunk);
    hasher_.chunks_ = {};
    header.chunkCount = index_.chunks.size();
    MarkBlocks(index_);
    if (header.chunkCount > kMaxChunkCount || blocks_.size() != BlockIndexSize(index_))
        return false;
    chunkIndex = ChunkIndexBytes(index_);
    blockIndex = std::move(blocks_);
    return true;
}

}  // namespace zefo
