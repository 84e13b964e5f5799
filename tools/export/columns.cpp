// Output columns in blocks.
#include "export/columns.h"

#include <algorithm>
#include <cstring>

std::uint64_t block_length(std::uint64_t bytes_per_row, std::uint64_t length) {
  const std::uint64_t fitting = COLUMN_BUDGET / std::max<std::uint64_t>(bytes_per_row, 1);
  const std::uint64_t values = std::clamp<std::uint64_t>(fitting, 4096, 1 << 20);
  return std::max<std::uint64_t>(std::min(values, length), 1);
}

void init_column(Column* column, std::size_t value_size, std::uint64_t block_values,
                 BlockWriter write, void* context) {
  column->value_size = value_size;
  column->block_values = block_values;
  column->buffer.assign(value_size * block_values, 0);
  column->used = 0;
  column->first = 0;
  column->write = write;
  column->context = context;
}

static void write_waiting(Column* column) {
  if (column->used == 0)
    return;
  const std::uint64_t count = column->used / column->value_size;
  column->write(column->context, column->first, column->buffer.data(), count);
  column->first += count;
  column->used = 0;
}

void append_to_column(Column* column, const unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const std::size_t room = column->buffer.size() - column->used;
    const std::size_t taken = std::min(room, size);
    std::memcpy(column->buffer.data() + column->used, bytes, taken);
    column->used += taken;
    bytes += taken;
    size -= taken;
    if (column->used == column->buffer.size())
      write_waiting(column);
  }
}

void finish_column(Column* column) {
  write_waiting(column);
  column->buffer.clear();
  column->buffer.shrink_to_fit();
}
