// Byte streams that may outgrow memory: each of a number of buckets collects records in the
// order they are added and gives them back in that order, keeping at most one buffer per
// bucket in memory and the rest in one temporary file. What a bucket wrote out is found again
// through its chunks in the file, each of which ends with where the bucket's previous chunk
// ends: a bucket takes the same few bytes of memory however much it wrote.
#ifndef ZVBTRACK_TRANSPOSE_SPILL_H_
#define ZVBTRACK_TRANSPOSE_SPILL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class SpillBuckets {
 public:
  // `buffer_size` bytes of memory per bucket, taken when the bucket is first appended to; a
  // record never exceeds it. The temporary file is made in `directory` (null: $TMPDIR or
  // /tmp) when a buffer first fills; failures to make or use it end the run with ERR_FILE
  // naming `directory`, and no memory for a buffer with "Not enough memory".
  SpillBuckets(std::size_t bucket_count, std::size_t buffer_size, const char* directory);
  ~SpillBuckets();
  SpillBuckets(const SpillBuckets&) = delete;
  SpillBuckets& operator=(const SpillBuckets&) = delete;

  // Takes the bucket's buffer now, if it has none yet; false, reporting nothing, when there is
  // no memory for it.
  bool take_buffer(std::size_t bucket);

  // Room for `size` more bytes at the end of `bucket`, to be filled by the caller at once.
  unsigned char* append(std::size_t bucket, std::size_t size) {
    Bucket& b = buckets_[bucket];
    if (b.used + size > b.capacity)
      make_room(b);
    unsigned char* at = b.buffer + b.used;
    b.used += size;
    return at;
  }

  // Reading a bucket back: the records in the order they were added, each as a pointer to its
  // `size` bytes (the sizes they were added with), null after the last. One bucket is read
  // at a time; its memory is given back when it is started, read to its end, or finished.
  void start_reading(std::size_t bucket);
  const unsigned char* next(std::size_t size) {
    if (read_at_ + size > read_end_ && !next_chunk())
      return nullptr;
    const unsigned char* record = read_from_ + read_at_;
    read_at_ += size;
    return record;
  }

  // The rest of the bytes at hand while reading, whole records, in place of next(); null
  // after the last.
  const unsigned char* next_block(std::size_t* size) {
    if (read_at_ >= read_end_ && !next_chunk())
      return nullptr;
    const unsigned char* block = read_from_ + read_at_;
    *size = read_end_ - read_at_;
    read_at_ = read_end_;
    return block;
  }

  // A bucket used as a queue, emptied before it fills: the bytes it holds (all it was given
  // since it was last emptied, as long as it never spilled), and emptying it.
  const unsigned char* held_bytes(std::size_t bucket) const { return buckets_[bucket].buffer; }
  std::size_t held_size(std::size_t bucket) const { return buckets_[bucket].used; }
  std::size_t room_left(std::size_t bucket) const { return buffer_size_ - buckets_[bucket].used; }
  void empty_held(std::size_t bucket) { buckets_[bucket].used = 0; }

  // While shared, two threads may append to distinct buckets at once; a failure to write the
  // temporary file is then kept for finish_sharing, which reports it (as a failure outside a
  // shared stretch is reported at once).
  void start_sharing();
  void finish_sharing();

 private:
  // What follows each chunk's bytes in the file.
  struct ChunkEnd {
    std::int64_t previous;  // where the bucket's previous chunk's end stands; -1: none
    std::uint64_t size;     // of this chunk's bytes, which stand right before this end
  };
  struct Chunk {
    std::int64_t offset;
    std::size_t size;
  };
  struct Bucket {
    unsigned char* buffer = nullptr;  // capacity bytes, and room for a ChunkEnd after them
    std::size_t capacity = 0;         // 0 until the buffer is taken
    bool mapped = false;              // a large block, else from malloc
    std::size_t used = 0;
    std::int64_t last_end = -1;  // where the end of the last chunk written out stands
  };
  void make_room(Bucket& bucket);  // the buffer taken on first use, or written out when full
  bool take_buffer(Bucket& bucket);
  void give_back(Bucket& bucket);
  void flush(Bucket& bucket);
  bool next_chunk();

  std::vector<Bucket> buckets_;
  std::size_t buffer_size_;
  const char* directory_;
  int file_ = -1;
  std::atomic<std::int64_t> file_end_{ 0 };
  bool shared_ = false;
  std::atomic<int> failure_{ 0 };
  std::vector<unsigned char> chunk_buffer_;
  // The reading: which bucket, its chunks in the file in order, the next of them (chunks_.size()
  // is its buffer), the bytes at hand.
  Bucket* reading_ = nullptr;
  std::vector<Chunk> chunks_;
  std::size_t next_chunk_ = 0;
  const unsigned char* read_from_ = nullptr;
  std::size_t read_at_ = 0;
  std::size_t read_end_ = 0;
};

#endif  // ZVBTRACK_TRANSPOSE_SPILL_H_
