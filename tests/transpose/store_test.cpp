// The trajectory store: one group per identifier in first-met order, and appends that keep
// every earlier value.
#include "transpose/store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <vector>


using testing::Eq;
using testing::ExitedWithCode;

namespace {

class Store : public testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    free_tree(&output_file.root);
    init_root(&output_file.root);
    clear_store();
    id_array_name = nullptr;
  }
};

std::vector<DataNode*> children(const DataNode* node) {
  std::vector<DataNode*> list;
  for (DataNode* child = node->first_child; child != nullptr; child = child->next)
    list.push_back(child);
  return list;
}

std::vector<double> doubles(const DataNode* node) {
  std::vector<double> values(node->size / sizeof(double));
  if (!values.empty())
    std::memcpy(values.data(), node->data, values.size() * sizeof(double));
  return values;
}

std::uint64_t bits(double value) {
  return std::bit_cast<std::uint64_t>(value);
}

const double NAN_A = std::bit_cast<double>(std::uint64_t{ 0x7FF8000000000001 });
const double NAN_B = std::bit_cast<double>(std::uint64_t{ 0xFFF8000000000002 });

}  // namespace

TEST_F(Store, OneGroupPerIdInFirstMetOrder) {
  struct Row {
    const char* name;
    std::vector<double> ids;     // in the order met
    std::vector<int> group_of;   // the index of each id's group among the root's children
    std::vector<double> values;  // the groups' values, compared bit for bit
  };
  const Row rows[] = {
    { "LaterSmallerIdComesLater", { 5, 2, 5, 9, 2 }, { 0, 1, 0, 2, 1 }, { 5, 2, 9 } },
    { "ZeroFirst", { 0.0, -0.0, 1 }, { 0, 0, 1 }, { 0.0, 1 } },
    { "NegativeZeroFirst", { -0.0, 0.0 }, { 0, 0 }, { -0.0 } },
    { "AllNaNsAreOneId", { NAN_A, 1, NAN_B, -1 }, { 0, 1, 0, 2 }, { NAN_A, 1, -1 } },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<DataNode*> met;
    for (double id : row.ids)
      met.push_back(trajectory_group(id));
    const std::vector<DataNode*> groups = children(&output_file.root);
    ASSERT_EQ(groups.size(), row.values.size());
    EXPECT_EQ(output_file.root.child_count, static_cast<std::int32_t>(groups.size()));
    for (std::size_t i = 0; i < met.size(); i++)
      EXPECT_EQ(met[i], groups[row.group_of[i]]) << "id number " << i;
    for (std::size_t g = 0; g < groups.size(); g++) {
      EXPECT_EQ(std::memcmp(groups[g]->name, "ID\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
      EXPECT_EQ(groups[g]->type, 0x503u);
      ASSERT_EQ(groups[g]->size, 8u);
      EXPECT_EQ(bits(doubles(groups[g])[0]), bits(row.values[g])) << "group " << g;
      const std::vector<DataNode*> inside = children(groups[g]);
      ASSERT_EQ(inside.size(), 1u);
      EXPECT_EQ(inside[0]->type, END_MARKER_TYPE);
    }
    reset();
  }
}

TEST_F(Store, GroupsBearTheSOptionText) {
  id_array_name = "track";
  EXPECT_EQ(std::memcmp(trajectory_group(1)->name, "track\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
  id_array_name = "exactly16letters";
  EXPECT_EQ(std::memcmp(trajectory_group(2)->name, "exactly16letters", 16), 0);
}

TEST_F(Store, AppendsKeepEveryEarlierValue) {
  DataNode* group = trajectory_group(1);
  std::vector<double> expected;
  const unsigned char* block = nullptr;
  for (int n = 1; n <= 130; n++) {
    const double value = n * 1.5;
    append_sample(group, "x", &value);
    expected.push_back(value);
    DataNode* array = find_child(group, "x");
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array->type, 0x803u);
    ASSERT_EQ(array->size, n * 8u);
    ASSERT_EQ(doubles(array), expected) << n << " values";
    // The block is resized only when the count reaches a power of two; in between the values
    // go into the room made then.
    if ((n & (n - 1)) != 0) {
      EXPECT_EQ(array->data, block) << n << " values";
    }
    block = array->data;
  }
  const std::vector<DataNode*> inside = children(group);
  ASSERT_EQ(inside.size(), 2u);
  EXPECT_EQ(inside[1]->type, END_MARKER_TYPE);  // the array went in ahead of the marker
}

TEST_F(Store, EachNameHasItsOwnArrayAndAnAmbiguousNameGetsAnother) {
  DataNode* group = trajectory_group(1);
  const double values[] = { 1, 2, 3, 4 };
  append_sample(group, "x", &values[0]);
  append_sample(group, "y", &values[1]);
  append_sample(group, "x", &values[2]);
  std::vector<DataNode*> arrays = children(group);
  ASSERT_EQ(arrays.size(), 3u);
  EXPECT_EQ(doubles(arrays[0]), (std::vector<double>{ 1, 3 }));
  EXPECT_EQ(doubles(arrays[1]), (std::vector<double>{ 2 }));

  add_array(group, "y", 1, TYPE_DOUBLE, &values[3]);  // now two arrays bear the name y
  append_sample(group, "y", &values[0]);
  arrays = children(group);
  ASSERT_EQ(arrays.size(), 5u);
  EXPECT_EQ(doubles(arrays[1]), (std::vector<double>{ 2 }));
  EXPECT_EQ(doubles(arrays[2]), (std::vector<double>{ 4 }));
  EXPECT_TRUE(name_equals(arrays[3]->name, "y"));
  EXPECT_EQ(doubles(arrays[3]), (std::vector<double>{ 1 }));
}

// A copied group or an end-of-group marker that bears a requested name takes the values into
// its own data, 8 bytes more each time, after its own bytes.
TEST_F(Store, OtherChildBearingTheNameGrowsByOneValue) {
  struct Row {
    const char* name;
    std::uint32_t type;
    std::vector<unsigned char> own;  // the node's data before the appends
  };
  const std::int32_t run = 4;
  std::vector<unsigned char> run_bytes(sizeof run);
  std::memcpy(run_bytes.data(), &run, sizeof run);
  const Row rows[] = {
    { "run", FLAG_GROUP | FLAG_SINGLE | TYPE_S32, run_bytes },
    { "", END_MARKER_TYPE, {} },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DataNode* group = trajectory_group(1);
    DataNode* target = children(group).back();  // the group's own marker
    if (row.type != END_MARKER_TYPE) {
      DataNode templ{};
      set_name(templ.name, row.name);
      templ.type = row.type;
      templ.size = static_cast<std::uint32_t>(row.own.size());
      templ.data = const_cast<unsigned char*>(row.own.data());
      target = add_group(group, &templ);
    }
    const double values[] = { 2.5, -7 };
    append_sample(group, row.name, &values[0]);
    append_sample(group, row.name, &values[1]);
    EXPECT_EQ(target->type, row.type);
    ASSERT_EQ(target->size, row.own.size() + 16);
    EXPECT_EQ(std::vector<unsigned char>(target->data, target->data + row.own.size()), row.own);
    double appended[2];
    std::memcpy(appended, target->data + row.own.size(), sizeof appended);
    EXPECT_EQ(appended[0], 2.5);
    EXPECT_EQ(appended[1], -7);
    reset();
  }
}

TEST_F(Store, ArrayThatWouldReach4GiBEndsTheRun) {
  DataNode* group = trajectory_group(1);
  const double value = 1;
  append_sample(group, "velocity", &value);
  DataNode* array = find_child(group, "velocity");
  // Only the size is faked: the check comes before the data are touched.
  EXPECT_EXIT(
      {
        array->size = 0xFFFFFFF8u;
        append_sample(group, "velocity", &value);
      },
      ExitedWithCode(1), Eq("Error: Array \"velocity\" would reach 4 GiB in the output\n"));
  EXPECT_EQ(array->size, 8u);
}
