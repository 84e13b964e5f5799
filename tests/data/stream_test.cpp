// Positioning an input stream and loading the array data that a read left on file.
#include "data/stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/report.h"
#include "support/temp_dir.h"
#include "support/tree_fixture.h"
#include "support/zvb_builder.h"

using testing::Eq;
using testing::ExitedWithCode;

TEST(Stream, SetPositionRefusesOtherOriginsAndTargetsBeforeTheStart) {
  TempDir dir;
  const std::string path = dir.file("bytes");
  write_file_bytes(path, pattern(100, 1));
  DataReader reader;
  open_input(path.c_str(), &reader);
  std::FILE* stream = reader.stream;
  ASSERT_EQ(set_position(stream, 10, SEEK_SET), 0);
  ASSERT_EQ(set_position(stream, 5, SEEK_CUR), 0);
  ASSERT_EQ(get_position(stream), 15);
  const std::pair<std::int64_t, int> rows[] = {
    { 0, 3 }, { -1, SEEK_SET }, { -16, SEEK_CUR }, { -101, SEEK_END }
  };
  for (const auto& [offset, origin] : rows) {
    SCOPED_TRACE(testing::Message() << offset << " from origin " << origin);
    errno = 0;
    EXPECT_EQ(set_position(stream, offset, origin), 22);
    EXPECT_EQ(errno, 22);  // where the callers' messages take it from
    EXPECT_EQ(get_position(stream), 15);
  }
  ASSERT_EQ(set_position(stream, -3, SEEK_END), 0);
  EXPECT_EQ(std::fgetc(stream), pattern(100, 1)[97]);
  close_input(&reader);

  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::FILE* pipe_stream = fdopen(ends[0], "rb");
  EXPECT_EQ(set_position(pipe_stream, 0, SEEK_END), 9);  // a pipe has no length
  EXPECT_EQ(errno, 9);
  std::fclose(pipe_stream);
  close(ends[1]);
}

TEST(Stream, LoadDataReadsTheRightBytesFromAnyGap) {
  // Short gaps forward are read through, anything else is a move; either way the data come
  // from data_offset and the stream ends right after them.
  TempDir dir;
  const std::string path = dir.file("gaps.zvb");
  write_file_bytes(path, ZvbBuilder()
                             .file_header()
                             .element("fill", FLAG_ARRAY | TYPE_U8, pattern(5000, 3))
                             .element("x", FLAG_ARRAY | TYPE_U16, pattern(16, 7))
                             .element("after", FLAG_ARRAY | TYPE_U8, pattern(200, 5))
                             .bytes());
  ReadTree tree(path, READ_ON_FILE);
  DataNode* x = tree.root()->first_child->next;
  ASSERT_EQ(x->data_offset, 48 + 24 + 5000 + 24);
  std::FILE* stream = tree.reader()->stream;
  for (const std::int64_t gap : { 0, 1, 2, 4095, 4096, 4097, 5096, -1, -100 }) {
    SCOPED_TRACE(gap);
    ASSERT_EQ(set_position(stream, x->data_offset - gap, SEEK_SET), 0);
    load_data(x);
    EXPECT_EQ(data_of(x), pattern(16, 7));
    EXPECT_EQ(get_position(stream), x->data_offset + 16);
    release_data(x);
  }
}

TEST(Stream, LoadDataLeavesNodesWithNothingToLoad) {
  TempDir dir;
  const std::string path = dir.file("loaded.zvb");
  write_file_bytes(
      path, ZvbBuilder().file_header().array_f64("x", { 1, 2 }).array_f64("empty", {}).bytes());
  ReadTree tree(path, READ_ON_FILE);
  DataNode* x = tree.root()->first_child;
  DataNode* empty = x->next;
  load_data(nullptr);
  load_data(empty);
  EXPECT_EQ(empty->data, nullptr);

  // Data in memory are neither read again nor replaced.
  load_data(x);
  unsigned char* first = x->data;
  ASSERT_NE(first, nullptr);
  first[0] = 0xEE;
  load_data(x);
  EXPECT_EQ(x->data, first);
  EXPECT_EQ(x->data[0], 0xEE);

  // A node that is not file-backed has nothing on file to bring in.
  DataNode made{};
  made.type = made.stored_type = FLAG_ARRAY | TYPE_DOUBLE;
  made.size = made.stored_size = 8;
  load_data(&made);
  EXPECT_EQ(made.data, nullptr);
}

TEST(Stream, LoadDataGivesBackTheStoredTypeAndSize) {
  TempDir dir;
  const std::string path = dir.file("stored.zvb");
  write_file_bytes(path, ZvbBuilder()
                             .file_header()
                             .element("u16", FLAG_ARRAY | TYPE_U16, ZvbBuilder().u16({ 1, 65535 }))
                             .element("u32", FLAG_ARRAY | TYPE_U32, { 1, 2, 3 })
                             .bytes());
  ReadTree tree(path, READ_ON_FILE);
  for (DataNode* node : children_of(tree.root())) {
    SCOPED_TRACE(name_of(node));
    const std::uint32_t stored_type = node->stored_type;
    const std::uint32_t stored_size = node->stored_size;
    load_data(node);
    const Bytes stored = data_of(node);
    ASSERT_EQ(convert_to_double(node), 0);
    EXPECT_NE(node->size, stored_size);
    // Three bytes hold no u32: converted, they leave no data block to release.
    release_data(node);
    load_data(node);
    EXPECT_EQ(node->type, stored_type);
    EXPECT_EQ(node->size, stored_size);
    EXPECT_EQ(data_of(node), stored);
  }
}

TEST(Stream, LoadDataOfMissingBytesIsTheEndOfTheFile) {
  TempDir dir;
  const std::string shrunk = dir.file("shrunk.zvb");
  write_file_bytes(shrunk, ZvbBuilder().file_header().array_f64("x", { 1, 2 }).bytes());
  ReadTree shrunk_tree(shrunk, READ_ON_FILE);
  ASSERT_EQ(truncate(shrunk.c_str(), 48 + 24 + 8), 0);
  program_name = "zvbtrack";
  EXPECT_EXIT(load_data(shrunk_tree.root()->first_child), ExitedWithCode(1),
              Eq(file_error(shrunk, "Unexpected end of file")));

  // A file that held a hostile size whole when it was read and was cut afterwards: the cut
  // shows when the data are loaded, before any memory is taken for them.
  const std::string huge = dir.file("huge.zvb");
  const Bytes head = ZvbBuilder()
                         .file_header()
                         .element_sized("huge", FLAG_ARRAY | TYPE_U8, 0xFFFFFFFFu, pattern(64, 1))
                         .bytes();
  write_sparse_file(huge, head, std::int64_t{ 48 + 24 } + 0xFFFFFFFFu);
  ReadTree huge_tree(huge, READ_ON_FILE);
  ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(head.size())), 0);
  EXPECT_EXIT(
      {
        limit_address_space();
        load_data(huge_tree.root()->first_child);
      },
      ExitedWithCode(1), Eq(file_error(huge, "Unexpected end of file")));
}

TEST(Stream, ReadDataPartGivesTheBytesOfAnyPieceInAnyOrder) {
  // Arrays smaller and larger than the block read ahead for small pieces, pieces that start
  // inside one block and end past it, forwards, backwards and at random; then the file
  // rewritten in place, which the next walk (after forget_read_ahead) sees.
  TempDir dir;
  const std::string path = dir.file("pieces.zvb");
  const std::size_t sizes[] = { 100, 70000, 300000, 3, 200000, 65536, 1 << 20, 17 };
  ZvbBuilder builder;
  builder.file_header();
  for (std::size_t i = 0; i < std::size(sizes); i++)
    builder.element("a" + std::to_string(i), FLAG_ARRAY | TYPE_U8, pattern(sizes[i], i + 1));
  write_file_bytes(path, builder.bytes());
  ReadTree tree(path, READ_ON_FILE);
  const std::vector<DataNode*> arrays = children_of(tree.root());
  ASSERT_EQ(arrays.size(), std::size(sizes));
  std::mt19937 random(3);
  const auto check_pieces = [&](unsigned seed_shift) {
    for (int n = 0; n < 400; n++) {
      const std::size_t i = n < 200 ? n % arrays.size() : random() % arrays.size();
      const std::size_t size = sizes[i];
      const std::size_t length = 1 + random() % std::min<std::size_t>(size, n % 3 == 0 ? 9 : 90000);
      const std::size_t offset = random() % (size - length + 1);
      SCOPED_TRACE(testing::Message() << "array " << i << " bytes " << offset << "+" << length);
      Bytes piece(length);
      read_data_part(arrays[i], offset, length, piece.data());
      const Bytes whole = pattern(size, i + 1 + seed_shift);
      ASSERT_TRUE(std::equal(piece.begin(), piece.end(), whole.begin() + offset));
    }
  };
  check_pieces(0);
  ZvbBuilder changed;
  changed.file_header();
  for (std::size_t i = 0; i < std::size(sizes); i++)
    changed.element("a" + std::to_string(i), FLAG_ARRAY | TYPE_U8, pattern(sizes[i], i + 101));
  write_file_bytes(path, changed.bytes());
  forget_read_ahead();
  check_pieces(100);
}
