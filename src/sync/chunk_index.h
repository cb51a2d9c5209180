// The indexes a publisher writes beside a big file, so that a client can reuse what
// it holds and fetch only the bytes it lacks:
//
// - the chunk index (.zci): a header with the chunker's parameters, the block size,
//   the file's size, SHA-256 and MD5, then one fixed record per chunk (its end offset
//   and SHA-256); fetched whole;
// - the block index (.zcb): for each chunk in order, one fixed record per block of
//   `blockSize` bytes from the chunk's start (the last one of a chunk may be shorter):
//   a rolling weak sum and a 64-bit strong hash; read by range, only for the chunks a
//   client lacks, at offsets it computes from the chunk index.
//
// Both are little-endian. Indexes come from a server and are only hints: the readers
// refuse anything malformed, and the file's own digest decides in the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sync/chunker.h"

namespace zefo {

class Md5;
class Sha256;
struct ChunkIndex;

using Sha256Digest = std::array<uint8_t, 32>;

// A chunk of a file: where it lies and the SHA-256 of its bytes.
struct Chunk {
    uint64_t offset = 0;
    uint32_t length = 0;
    Sha256Digest sha256{};

    uint64_t end() const { return offset + length; }
    bool operator==(const Chunk&) const = default;
};

// One block's record in the block index.
struct BlockRecord {
    uint32_t weak = 0;
    uint64_t strong = 0;

    bool operator==(const BlockRecord&) const = default;
};

constexpr char kChunkIndexMagic[8] = {'Z', 'E', 'F', 'O', 'C', 'I', 'X', '\0'};
constexpr uint32_t kChunkIndexVersion = 1;
constexpr size_t kChunkIndexHeaderSize = 112;
constexpr size_t kChunkRecordSize = 40;
constexpr size_t kBlockRecordSize = 12;
constexpr uint32_t kMinBlockSize = 256;
constexpr uint32_t kMaxBlockSize = 64 * 1024;
constexpr uint32_t kDefaultBlockSize = 1024;
// More chunks than this no index holds (with the smallest chunks, a 64 GiB file).
constexpr uint64_t kMaxChunkCount = uint64_t{1} << 26;

struct ChunkIndexHeader {
    ChunkerParams chunker;
    uint32_t blockSize = kDefaultBlockSize;
    uint64_t fileSize = 0;
    Sha256Digest fileSha256{};
    std::array<uint8_t, 16> fileMd5{};
    uint64_t chunkCount = 0;

    bool operator==(const ChunkIndexHeader&) const = default;
};

// The chunks of a file in order, held as the .zci records them: each chunk's end and
// SHA-256 (40 bytes a chunk; a chunk starts where the one before it ends), after room
// for the .zci's header, so that the index's bytes can be taken without a copy
// (ChunkIndexBytes).
class ChunkList {
  public:
    // Chunks by value, in order.
    class Iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Chunk;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Chunk;

        Iterator(const ChunkList* list, size_t at) : list_(list), at_(at) {}
        Chunk operator*() const { return (*list_)[at_]; }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        Iterator operator+(difference_type n) const { return {list_, at_ + static_cast<size_t>(n)}; }
        difference_type operator-(const Iterator& other) const {
            return static_cast<difference_type>(at_) - static_cast<difference_type>(other.at_);
        }
        bool operator==(const Iterator& other) const { return at_ == other.at_; }

      private:
        const ChunkList* list_;
        size_t at_;
    };

    size_t size() const { return bytes_.empty() ? 0 : (bytes_.size() - kChunkIndexHeaderSize) / kChunkRecordSize; }
    bool empty() const { return size() == 0; }
    uint64_t offset(size_t i) const { return i == 0 ? 0 : end(i - 1); }
    uint64_t end(size_t i) const {
        uint64_t value;
        std::memcpy(&value, Record(i), 8);
        return value;
    }
    uint32_t length(size_t i) const { return static_cast<uint32_t>(end(i) - offset(i)); }
    // The chunk's SHA-256: 32 bytes.
    const uint8_t* digest(size_t i) const { return reinterpret_cast<const uint8_t*>(Record(i) + 8); }
    Sha256Digest sha256(size_t i) const {
        Sha256Digest digest;
        std::memcpy(digest.data(), Record(i) + 8, digest.size());
        return digest;
    }
    Chunk operator[](size_t i) const { return {offset(i), length(i), sha256(i)}; }
    Chunk back() const { return (*this)[size() - 1]; }
    Iterator begin() const { return {this, 0}; }
    Iterator end() const { return {this, size()}; }

    // The records as the .zci holds them.
    std::string_view records() const {
        return empty() ? std::string_view() : std::string_view(bytes_).substr(kChunkIndexHeaderSize);
    }
    // Appends `chunk`, taken to start where the list ends.
    void push_back(const Chunk& chunk);
    // Appends a record as the .zci holds it.
    void AppendRecord(const char* record);
    void reserve(size_t count) { bytes_.reserve(kChunkIndexHeaderSize + count * kChunkRecordSize); }
    void clear() { bytes_ = std::string(); }

    bool operator==(const ChunkList& other) const;

  private:
    friend std::string ChunkIndexBytes(ChunkIndex&& index);
    const char* Record(size_t i) const { return bytes_.data() + kChunkIndexHeaderSize + i * kChunkRecordSize; }

    std::string bytes_;  // empty, or room for a header and the records
};

// The same chunks in the same order.
bool operator==(const ChunkList& list, const std::vector<Chunk>& chunks);

// The chunks of a list looked up by their length and SHA-256 (the whole digest).
class ChunkLookup {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;

    // `chunks` must outlive this and stay as it is.
    explicit ChunkLookup(const ChunkList& chunks);

    // The first chunk of the list with these bytes, or kNone.
    uint32_t Find(const uint8_t* sha256, uint32_t length) const;
    uint32_t Find(const Chunk& chunk) const { return Find(chunk.sha256.data(), chunk.length); }
    const ChunkList& chunks() const { return chunks_; }

  private:
    const ChunkList& chunks_;
    std::vector<uint32_t> order_;  // the chunks sorted by digest, length and position
};

struct ChunkIndex {
    ChunkIndexHeader header;
    ChunkList chunks;
    // The block records before every kBlockMarkStep-th chunk's, then the total (see
    // MarkBlocks, FirstBlock).
    std::vector<uint64_t> blockMarks;
};

// Chunks of an index between two block marks.
constexpr size_t kBlockMarkStep = 64;
// Sets `index.blockMarks` from its chunks and block size.
void MarkBlocks(ChunkIndex& index);
// The block records before chunk `chunk`'s (the total at chunks.size()); 0 beyond.
uint64_t FirstBlock(const ChunkIndex& index, size_t chunk);

// Hands each chunk to a visitor, in order.
using ChunkVisitor = std::function<void(const Chunk& chunk)>;
// Reads an index: its header into `header`, each chunk to `each`, in order. False when
// the index is not sound; the chunks handed on before then count for nothing.
using ChunkFeed = std::function<bool(ChunkIndexHeader& header, const ChunkVisitor& each)>;
// The feed of an index in memory, which must outlive it.
ChunkFeed FeedOf(const ChunkIndex& index);

// Reads a .zci that arrives in pieces, checked as ParseChunkIndex checks it, handing
// on each chunk as its record completes: an index read without holding it whole.
class ChunkIndexReader {
  public:
    // Takes the next bytes; false, from then on, once they are no sound index.
    bool Update(std::string_view bytes, const ChunkVisitor& each);
    // True when the index ended where its header says it does.
    bool Finish() const;
    const ChunkIndexHeader& header() const { return header_; }

  private:
    bool Record(const char* record, const ChunkVisitor& each);

    ChunkIndexHeader header_;
    bool headerRead_ = false;
    bool failed_ = false;
    std::string pending_;  // a header or record that came in pieces
    uint64_t records_ = 0;
    uint64_t offset_ = 0;
};

// Reads the header at the start of `bytes` (at least kChunkIndexHeaderSize of them);
// false when any field is out of bounds.
bool ParseChunkIndexHeader(std::string_view bytes, ChunkIndexHeader& header);
// Reads a whole chunk index; false, with `index` emptied, unless the header is sound,
// the records are exactly the ones it counts, and they cut the file into chunks the
// parameters allow (offsets increasing, every length within [min, max] but the last
// one's, which may be shorter, ending at the file's size).
bool ParseChunkIndex(std::string_view bytes, ChunkIndex& index);
// The bytes of `index` as a .zci (its header's count is taken from the chunks).
std::string ChunkIndexBytes(const ChunkIndex& index);
// The same, taking the bytes the index holds: it is left empty.
std::string ChunkIndexBytes(ChunkIndex&& index);
// The largest .zci a file of `fileSize` bytes can have: a bound for fetching it.
uint64_t MaxChunkIndexSize(uint64_t fileSize);

struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;

    bool operator==(const ByteRange&) const = default;
};
// Where in the .zcb the block records of chunks [first, first + count) of `index` lie.
ByteRange BlockRecordRange(const ChunkIndex& index, size_t first, size_t count);
// The size of the .zcb that belongs to `index`.
uint64_t BlockIndexSize(const ChunkIndex& index);
// Block records of `length` bytes cut into `blockSize` pieces.
uint64_t BlocksOf(uint64_t length, uint32_t blockSize);
// Reads block records; false unless `bytes` holds exactly `count` of them.
bool ParseBlockRecords(std::string_view bytes, size_t count, std::vector<BlockRecord>& records);

// The weak sum of a block: a (the bytes' sum) in the low 16 bits, b (each byte times
// its distance from the block's end) in the high 16 bits. It rolls a byte at a time.
uint32_t WeakSum(const uint8_t* data, size_t size);
// The strong hash of a block: 64 bits, fast, not cryptographic (a false match only
// fails the final check of the file).
uint64_t StrongHash(const uint8_t* data, size_t size);

// The weak sum of a window that moves a byte at a time.
class RollingSum {
  public:
    // Starts over on `data[0, size)`; the window keeps that size.
    void Reset(const uint8_t* data, size_t size);
    // Moves the window on by one byte: `out` leaves it at the front, `in` enters at the back.
    void Roll(uint8_t out, uint8_t in) {
        a_ += static_cast<uint32_t>(in) - out;
        b_ += a_ - size_ * out;
    }
    uint32_t value() const { return (a_ & 0xffff) | (b_ << 16); }

  private:
    uint32_t a_ = 0;
    uint32_t b_ = 0;
    uint32_t size_ = 0;
};

// Chunks a stream and hashes each chunk: a client's view of a local file that has no
// remembered index.
class ChunkHasher {
  public:
    explicit ChunkHasher(const ChunkerParams& params);
    ~ChunkHasher();

    void Update(const void* data, size_t size);
    // Ends the stream; false when the parameters were refused or a digest failed.
    bool Finish();
    const std::vector<Chunk>& chunks() const { return chunks_; }
    // The chunks ended so far, which the hasher then forgets.
    std::vector<Chunk> TakeChunks() { return std::exchange(chunks_, {}); }

  private:
    friend class ChunkIndexWriter;
    // Takes `data`, cut at chunk ends; `piece(data, size, ends)` sees each run of one
    // chunk's bytes, `ends` when the run ends the chunk (the writer's blocks).
    template <typename Piece>
    void Take(const uint8_t* data, size_t size, Piece&& piece);
    bool EndChunk();

    Chunker chunker_;
    std::unique_ptr<Sha256> sha_;
    uint64_t chunkStart_ = 0;
    std::vector<Chunk> chunks_;
    bool failed_ = false;
};

// Writes both indexes of one file from its bytes, fed in pieces of any size: the
// chunks with their SHA-256, the block records, and the file's own SHA-256 and MD5.
class ChunkIndexWriter {
  public:
    // With `takesMd5` false the writer leaves the file's MD5 to its caller, which gives
    // it to Finish (a caller hashing the bytes on another thread meanwhile).
    explicit ChunkIndexWriter(const ChunkerParams& params = {},
                              uint32_t blockSize = kDefaultBlockSize,
                              bool takesMd5 = true);
    ~ChunkIndexWriter();

    void Update(const void* data, size_t size);
    // Ends the file: the .zci and .zcb bytes; false when the parameters or the block
    // size were refused or a digest failed.
    // `givenMd5`: the file's MD5 (16 bytes) for a writer that takes none.
    bool Finish(std::string& chunkIndex, std::string& blockIndex, const uint8_t* givenMd5 = nullptr);
    // After Finish: the index as written (the publisher takes the file's digests from it).
    const ChunkIndex& index() const { return index_; }

  private:
    void AddBlockBytes(const uint8_t* data, size_t size);
    void EndBlock(const uint8_t* data, size_t size);

    ChunkHasher hasher_;
    uint32_t blockSize_;
    std::unique_ptr<Sha256> fileSha_;
    std::unique_ptr<Md5> fileMd5_;  // none when the caller gives the MD5
    uint64_t fileSize_ = 0;
    std::vector<uint8_t> block_;  // a block's bytes that arrived in more than one piece
    size_t blockFill_ = 0;
    std::string blocks_;
    ChunkIndex index_;
};

}  // namespace zefo
