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
#include "transpose/layout.h"
#include "transpose/sources.h"
#include "transpose/store.h"

namespace {

using testing::ExitedWithCode;
using testing::HasSubstr;

// Two steps of identifiers 1 to 2000 (more bytes than the input's stream buffers, so that a
// load reads the file anew); the test rewrites the second step's first identifiers. With
// `in_runs`, each step's arrays are in a group "run" below it, which every trajectory holds a
// copy of: the second walk then takes the samples' places from what the count logged. Then an
// array nobody asks for, which makes the file large enough for its arrays to stay on file.
Bytes two_steps(bool in_runs) {
  std::vector<std::int32_t> ids(2000);
  for (std::size_t i = 0; i < ids.size(); i++)
    ids[i] = static_cast<std::int32_t>(i + 1);
  const std::vector<double> x(ids.size(), 0.5);
  ZvbBuilder b;
  b.file_header();
  for (int step = 0; step < 2; step++) {
    b.group_f64("time", step);
    if (in_runs)
      b.group_f64("run", 7);
    b.array_s32("ID", ids).array_f64("x", x).end();
    if (in_runs)
      b.end();
  }
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

// How the second walk goes: the output filled at once, by windows (a budget of a few KiB), or
// group by group as the programs that fill a part of the output each do.
enum class Fill { AT_ONCE, BY_WINDOWS, BY_GROUPS };

// Counts `input`, rewrites its second step's identifiers to `ids`, then fills. By groups, the
// exit code is 5 when a group's places were refused, else 0.
void rewrite_between_walks(const std::string& input, const std::vector<std::int32_t>& ids,
                           const std::string& output, Fill fill) {
  DataFile& file = count_x_over_time(input, fill == Fill::BY_WINDOWS ? 4096 : 0);
  const DataNode* second_ids = file.root.first_child->next->first_child;
  while ((second_ids->type & FLAG_GROUP) != 0)
    second_ids = second_ids->first_child;
  const int descriptor = open(input.c_str(), O_WRONLY);
  if (pwrite(descriptor, ids.data(), ids.size() * sizeof ids[0], second_ids->data_offset) < 0)
    std::exit(4);
  close(descriptor);
  if (fill == Fill::BY_GROUPS) {
    laid_out.sample_log->start_reading(0);
    for (const GroupPlan& plan : laid_out.plans) {
      std::vector<std::uint32_t> places(plan.samples);
      if (!resolve_group(const_cast<DataNode*>(plan.group), true) || !plan_matches_sources(plan) ||
          !find_sample_places(plan, places.data()))
        std::exit(5);
    }
    std::exit(0);
  }
  DataWriter writer;
  open_output(output.c_str(), nullptr, &writer);
  fill_output(&file.root, &writer);
  if (fill == Fill::BY_WINDOWS) {
    FileHeader header{};
    write_output(&writer, &header);
  }
  std::exit(0);
}

TEST(Engine, InputRewrittenBetweenTheWalksEndsTheRun) {
  struct Row {
    const char* name;
    bool in_runs;
    std::vector<std::int32_t> second_ids;
    bool places_refused;  // by groups: finding the places shows the change (else filling does)
  };
  const Row rows[] = {
    { "an identifier the first walk never met", false, { 9999 }, true },
    { "a trajectory given more samples than were counted", false, { 2 }, false },
    { "copies: an identifier the first walk never met", true, { 9999 }, true },
    { "copies: a trajectory given more samples than were counted", true, { 2 }, true },
    { "copies: the identifiers the first walk met, in another order", true, { 2, 1 }, true },
  };
  for (const Row& row : rows) {
    for (const Fill fill : { Fill::AT_ONCE, Fill::BY_WINDOWS, Fill::BY_GROUPS }) {
      if (fill == Fill::BY_GROUPS && !row.places_refused)
        continue;
      SCOPED_TRACE(std::string(row.name) + ", way " + std::to_string(static_cast<int>(fill)));
      TempDir dir;
      const std::string input = dir.file("in.zvb");
      write_file_bytes(input, two_steps(row.in_runs));
      const auto rewrite = [&] {
        rewrite_between_walks(input, row.second_ids, dir.file("out.zvb"), fill);
      };
      if (fill == Fill::BY_GROUPS)
        EXPECT_EXIT(rewrite(), ExitedWithCode(5), "");
      else
        EXPECT_EXIT(rewrite(), ExitedWithCode(1),
                    HasSubstr("\"in.zvb\": Input changed while being read"));
    }
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
