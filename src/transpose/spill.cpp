// Buckets of records kept in memory up to a buffer each, and in a temporary file beyond.
#include "transpose/spill.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "base/report.h"

SpillBuckets::SpillBuckets(std::size_t bucket_count, std::size_t buffer_size, const char* directory)
    : buckets_(bucket_count), buffer_size_(buffer_size), directory_(directory) {}

// Buffers from this size on are taken as blocks whose pages are only taken when written:
// ordinary pages, for a buffer filled front to back and emptied whole gains nothing from huge
// pages, and a fresh huge page costs more to take.
constexpr std::size_t LARGE_BUFFER = std::size_t{ 1 } << 20;

SpillBuckets::~SpillBuckets() {
  for (Bucket& bucket : buckets_)
    give_back(bucket);
  if (file_ >= 0)
    close(file_);
}

[[noreturn]] static void report_scratch_error(const char* directory) {
  report_error(error_table, ERR_FILE, directory != nullptr ? directory : "temporary file",
               std::strerror(errno));
}

bool SpillBuckets::take_buffer(Bucket& bucket) {
  if (bucket.capacity != 0)
    return true;
  const std::size_t size = buffer_size_ + sizeof(ChunkEnd);
  void* block = size >= LARGE_BUFFER ? take_plain_block(size) : nullptr;
  bucket.mapped = block != nullptr;
  if (block == nullptr)
    block = std::malloc(size);
  if (block == nullptr)
    return false;
  bucket.buffer = static_cast<unsigned char*>(block);
  bucket.capacity = buffer_size_;
  return true;
}

bool SpillBuckets::take_buffer(std::size_t bucket) {
  return take_buffer(buckets_[bucket]);
}

void SpillBuckets::make_room(Bucket& bucket) {
  if (bucket.capacity != 0)
    flush(bucket);
  else if (!take_buffer(bucket))
    error_exit("Not enough memory\n");
}

void SpillBuckets::give_back(Bucket& bucket) {
  if (bucket.buffer != nullptr) {
    if (bucket.mapped)
      free_large_block(bucket.buffer, bucket.capacity + sizeof(ChunkEnd));
    else
      std::free(bucket.buffer);
  }
  bucket.buffer = nullptr;
  bucket.capacity = 0;
  bucket.used = 0;
}

void SpillBuckets::flush(Bucket& bucket) {
  if (bucket.used == 0)
    return;
  if (file_ < 0) {
    file_ = open_scratch_file(directory_);
    if (file_ < 0)
      report_scratch_error(directory_);
  }
  // The chunk and its end in one write.
  const ChunkEnd end{ bucket.last_end, bucket.used };
  std::memcpy(bucket.buffer + bucket.used, &end, sizeof end);
  const std::size_t size = bucket.used + sizeof end;
  const std::int64_t at = file_end_.fetch_add(static_cast<std::int64_t>(size));
  if (write_at(file_, bucket.buffer, size, at) != 0) {
    if (!shared_)
      report_scratch_error(directory_);
    failure_ = errno;
  }
  bucket.last_end = at + static_cast<std::int64_t>(bucket.used);
  bucket.used = 0;
}

void SpillBuckets::start_sharing() {
  if (file_ < 0) {
    file_ = open_scratch_file(directory_);
    if (file_ < 0)
      report_scratch_error(directory_);
  }
  shared_ = true;
}

void SpillBuckets::finish_sharing() {
  shared_ = false;
  if (failure_ != 0) {
    errno = failure_;
    report_scratch_error(directory_);
  }
}

void SpillBuckets::start_reading(std::size_t bucket) {
  reading_ = &buckets_[bucket];
  // The chunks in the file, found from the last one back, then taken from the first.
  chunks_.clear();
  for (std::int64_t end_at = reading_->last_end; end_at >= 0;) {
    ChunkEnd end;
    if (read_at(file_, &end, sizeof end, end_at) != 0)
      report_scratch_error(directory_);
    chunks_.push_back(
        Chunk{ end_at - static_cast<std::int64_t>(end.size), static_cast<std::size_t>(end.size) });
    end_at = end.previous;
  }
  std::reverse(chunks_.begin(), chunks_.end());
  next_chunk_ = 0;
  read_from_ = nullptr;
  read_at_ = 0;
  read_end_ = 0;
}

bool SpillBuckets::next_chunk() {
  if (reading_ == nullptr)
    return false;
  Bucket& bucket = *reading_;
  if (next_chunk_ < chunks_.size()) {
    const Chunk& chunk = chunks_[next_chunk_++];
    if (chunk_buffer_.size() < chunk.size)
      chunk_buffer_.resize(chunk.size);
    if (read_at(file_, chunk_buffer_.data(), chunk.size, chunk.offset) != 0)
      report_scratch_error(directory_);
    read_from_ = chunk_buffer_.data();
    read_end_ = chunk.size;
  } else if (next_chunk_ == chunks_.size() && bucket.used > 0) {
    next_chunk_++;
    read_from_ = bucket.buffer;
    read_end_ = bucket.used;
  } else {
    // The bucket is read: its memory goes back.
    chunks_.clear();
    bucket.last_end = -1;
    give_back(bucket);
    reading_ = nullptr;
    return false;
  }
  read_at_ = 0;
  return true;
}
