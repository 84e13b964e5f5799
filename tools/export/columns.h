// Output columns: the values of one variable gathered into blocks of a fixed number of values
// and written a whole block at a time, each block at a multiple of the block length, so that
// the output gets few large writes however short the trajectories are.
#ifndef ZVBTRACK_TOOLS_EXPORT_COLUMNS_H_
#define ZVBTRACK_TOOLS_EXPORT_COLUMNS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

// Writes `count` values (`bytes`, in host order) that begin at value `first` of the column.
// Does not return on failure.
using BlockWriter = void (*)(void* context, std::uint64_t first, const unsigned char* bytes,
                             std::uint64_t count);

struct Column {
  std::size_t value_size;
  std::uint64_t block_values;  // values per write; the last write may hold fewer
  std::vector<unsigned char> buffer;
  std::size_t used;     // bytes waiting in the buffer
  std::uint64_t first;  // the index of the first value waiting
  BlockWriter write;
  void* context;
};

// Bytes that the blocks of all columns of an export may take together.
constexpr std::uint64_t COLUMN_BUDGET = std::uint64_t{ 8 } << 20;

// Values per block for columns of `bytes_per_row` bytes together (one value of each), within
// COLUMN_BUDGET and between 4096 and 1048576 values, but never more than `length`, the
// column's length (at least 1).
std::uint64_t block_length(std::uint64_t bytes_per_row, std::uint64_t length);

void init_column(Column* column, std::size_t value_size, std::uint64_t block_values,
                 BlockWriter write, void* context);

// Appends whole values; a full block is written at once.
void append_to_column(Column* column, const unsigned char* bytes, std::size_t size);

// Writes what waits, and frees the buffer.
void finish_column(Column* column);

#endif  // ZVBTRACK_TOOLS_EXPORT_COLUMNS_H_
