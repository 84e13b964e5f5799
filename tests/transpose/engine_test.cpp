// The laid-out engine meets an input that another process rewrote between its two walks: the
// run ends with one message, never placing a value outside the places it counted.
#include "transpose/engine.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "data/reader.h"
#include "support/temp_dir.h"
#include "support/zvb_builder.h"
#include "transpose/id_index.h"
#include "transpose/store.h"

namespace {

using testing::ExitedWithCode;
using testing::HasSubstr;

// Two steps of identifiers 1 to 2000 (more bytes than the input's stream buffers, so that a
// load reads the file anew); the test rewrites the second step's first identifier. Then an
// array nobody asks for, which makes the file large enough for its arrays to stay on file.
Bytes two_steps() {
  std::vector<std::int32_t> ids(2000);
  for (std::size_t i = 0; i < ids.size(); i++)
    ids[i] = static_cast<std::int32_t>(i + 1);
  const std::vector<double> x(ids.size(), 0.5);
  ZvbBuilder b;
  b.file_header();
  b.group_f64("time", 0).array_s32("ID", ids).array_f64("x", x).end();
  b.group_f64("time", 1).array_s32("ID", ids).array_f64("x", x).end();
  b.element("padding", FLAG_ARRAY | TYPE_U8, Bytes(std::size_t{ 16 } << 20));
  return b.bytes();
}

// Reads `input` and counts it for "x" over "time" within `budget` (0: none); the file stays
// read, and open, for the fill.
DataFile& count_x_over_time(const std::string& input, std::uint64_t budget) {
  static DataReader reader;
  static DataFile file;
  open_input(input.c_str(), &reader);
  reader.file_name = "in.zvb";
  read_file(&reader, &file, READ_REPORT);
  static const char* names[] = { "x", "time" };
  loop_var_name = "time";
  value_names = names;
  value_count = 2;
  const LayoutSettings settings{ "in.zvb", budget, nullptr };
  if (!count_output(&file.root, settings))
    std::exit(3);
  return file;
}

// Counts `input`, rewrites its second step's identifiers to `ids`, then fills.
void rewrite_between_walks(const std::string& input, const std::vector<std::int32_t>& ids,
                           const std::string& output) {
  DataFile& file = count_x_over_time(input, 0);
  const DataNode* second_ids = file.root.first_child->next->first_child;
  const int descriptor = open(input.c_str(), O_WRONLY);
  if (pwrite(descriptor, ids.data(), ids.size() * sizeof ids[0], second_ids->data_offset) < 0)
    std::exit(4);
  close(descriptor);
  DataWriter writer;
  open_output(output.c_str(), nullptr, &writer);
  fill_output(&file.root, &writer);
  std::exit(0);
}

TEST(Engine, InputRewrittenBetweenTheWalksEndsTheRun) {
  struct Row {
    const char* name;
    std::vector<std::int32_t> second_ids;
  };
  const Row rows[] = {
    { "an identifier the first walk never met", { 9999 } },
    { "a trajectory given more samples than were counted", { 2 } },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string input = dir.file("in.zvb");
    write_file_bytes(input, two_steps());
    EXPECT_EXIT(rewrite_between_walks(input, row.second_ids, dir.file("out.zvb")),
                ExitedWithCode(1), HasSubstr("\"in.zvb\": Input changed while being read"));
  }
}

// Counts a step of 20000 identifiers numbered down from 100000 with a budget so small that
// the step is read a thousand samples at a time; exits 0 when the identifiers stayed in the
// table indexed by their numbers.
void count_in_small_parts(const std::string& input) {
  std::vector<std::int32_t> ids(20000);
  for (std::size_t i = 0; i < ids.size(); i++)
    ids[i] = static_cast<std::int32_t>(100000 - 5 * i);
  ZvbBuilder b;
  b.file_header();
  b.group_f64("time", 0).array_s32("ID", ids).array_f64("x", std::vector<double>(ids.size())).end();
  write_file_bytes(input, b.bytes());
  count_x_over_time(input, 1);
  std::exit(id_index.direct() ? 0 : 1);
}

// Whole-number identifiers a few apart are looked up by their number however small the parts
// a group is counted in: the first identifier met may be far above the part's count.
TEST(Engine, DenseIdentifiersCountedInSmallPartsStayDirect) {
  TempDir dir;
  EXPECT_EXIT(count_in_small_parts(dir.file("in.zvb")), ExitedWithCode(0), "");
}

}  // namespace
