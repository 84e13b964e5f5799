// The transposition walk: the getters' rules, and which enclosing groups are copied below the
// trajectory groups and shared there.
#include "transpose/walk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "data/reader.h"
#include "support/temp_dir.h"
#include "support/zvb_builder.h"
#include "transpose/store.h"

namespace {

template <typename T>
double number(const unsigned char* data, std::size_t i) {
  T value;
  std::memcpy(&value, data + i * sizeof(T), sizeof(T));
  return static_cast<double>(value);
}

// The node's values as numbers, for the value types that reach the output.
std::vector<double> numbers(const DataNode* node) {
  double (*read)(const unsigned char*, std::size_t) = nullptr;
  switch (node->type & TYPE_MASK) {
  case TYPE_DOUBLE:
    read = number<double>;
    break;
  case TYPE_S32:
    read = number<std::int32_t>;
    break;
  case TYPE_U8:
    read = number<std::uint8_t>;
    break;
  case TYPE_U16:
    read = number<std::uint16_t>;
    break;
  case TYPE_U32:
    read = number<std::uint32_t>;
    break;
  default:
    ADD_FAILURE() << "unexpected type word " << node->type;
    return {};
  }
  std::vector<double> values;
  for (std::size_t i = 0; i < node->size / value_size(node->type); i++)
    values.push_back(read(node->data, i));
  return values;
}

// The output below `node`, end-of-group markers left out: "ID=1{run=4{x[1,2] t[0,1]}}".
std::string render(const DataNode* node) {
  std::ostringstream out;
  for (const DataNode* child = node->first_child; child != nullptr; child = child->next) {
    if ((child->type & FLAG_END_GROUP) != 0)
      continue;
    if (child != node->first_child)
      out << " ";
    out << std::string(child->name, name_length(child->name));
    const std::vector<double> values = numbers(child);
    if ((child->type & FLAG_ARRAY) != 0) {
      out << "[";
      for (std::size_t i = 0; i < values.size(); i++)
        out << (i != 0 ? "," : "") << values[i];
      out << "]";
    } else if (!values.empty()) {
      out << "=" << values[0];
    }
    if ((child->type & FLAG_GROUP) != 0)
      out << "{" << render(child) << "}";
  }
  return out.str();
}

class Walk : public testing::Test {
 protected:
  void TearDown() override {
    free_tree(&output_file.root);
    free_tree(&input_.root);
    clear_store();
    id_array_name = nullptr;
    current_group = nullptr;
  }

  // Reads a file made in code, every element's data in memory.
  void read(const Bytes& bytes) {
    free_tree(&input_.root);
    TempDir dir;
    write_file_bytes(dir.file("in.zvb"), bytes);
    DataReader reader;
    open_input(dir.file("in.zvb").c_str(), &reader);
    read_file(&reader, &input_, READ_REPORT | READ_LOAD_ALL);
    close_input(&reader);
  }

  // The request as the run makes it: the arrays in order, then the loop variable.
  void request(const char* loop_var, const std::vector<const char*>& arrays) {
    names_ = arrays;
    names_.push_back(loop_var);
    getters_.assign(arrays.size(), get_array_value);
    getters_.push_back(get_loop_value);
    samples_.assign(names_.size(), 0);
    loop_var_name = loop_var;
    value_names = names_.data();
    value_getters = getters_.data();
    sample_values = samples_.data();
    value_count = static_cast<std::uint32_t>(names_.size());
  }

  std::string transpose() {
    free_tree(&output_file.root);
    init_root(&output_file.root);
    clear_store();
    walk_groups(&input_.root, transpose_group, 0);
    return render(&output_file.root);
  }

  DataNode* child(DataNode* node, const char* name) {
    DataNode* found = find_child(node, name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  DataFile input_{};
  std::vector<const char*> names_;
  std::vector<ValueGetter> getters_;
  std::vector<double> samples_;
};

}  // namespace

TEST_F(Walk, GettersFindNumbersOfTheRightShapeInScope) {
  ZvbBuilder b;
  b.file_header().single_f64("top", 11).array_f64("twice", { 3 });
  b.group_f64("time", 5).array_f64("x", { 1, 2 }).array_s32("n", { -3, 4 });
  b.array_u8("u", { 200 }).text("label", "ab").single_f64("one", 7).single_s32("count", 9);
  b.element("half", FLAG_SINGLE | TYPE_DOUBLE, b.s32({ 1 }));  // 4 bytes: no double in it
  b.array_f64("twice", { 1 }).array_f64("twice", { 2 }).group("sub").end().end();
  read(b.bytes());
  current_group = child(&input_.root, "time");

  struct Row {
    ValueGetter getter;
    const char* name;  // for get_loop_value, the loop variable's name
    int k;
    int result;
    double value;
  };
  const Row rows[] = {
    { get_array_value, "x", 0, 0, 1 },
    { get_array_value, "x", 1, 0, 2 },
    { get_array_value, "x", 2, 1, 0 },      // beyond the end
    { get_array_value, "n", 0, 0, -3 },     // converted from S32
    { get_array_value, "u", 0, 0, 200 },    // converted from U8
    { get_array_value, "twice", 0, 0, 3 },  // two here: the one in the root counts
    { get_array_value, "label", 0, 1, 0 },  // text
    { get_array_value, "one", 0, 1, 0 },    // a single value is no array
    { get_array_value, "sub", 0, 1, 0 },    // a group without a value
    { get_array_value, "missing", 0, 1, 0 },
    { get_loop_value, "time", 0, 0, 5 },  // the visited group's own value
    { get_loop_value, "one", 3, 0, 7 },   // any sample index
    { get_loop_value, "count", 0, 0, 9 },
    { get_loop_value, "top", 0, 0, 11 },  // in an enclosing group
    { get_loop_value, "x", 0, 1, 0 },     // an array is no single value
    { get_loop_value, "label", 0, 1, 0 },
    { get_loop_value, "half", 0, 1, 0 },
    { get_loop_value, "missing", 0, 1, 0 },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.getter == get_loop_value ? "loop " : "array ") + row.name + " " +
                 std::to_string(row.k));
    loop_var_name = row.name;
    double value = -99;
    const char* name = row.getter == get_loop_value ? "ignored" : row.name;
    EXPECT_EQ(row.getter(name, row.k, &value), row.result);
    if (row.result == 0) {
      EXPECT_EQ(value, row.value);
    }
  }
}

// The enclosing group "run" around a step is copied below the trajectory group unless bit 0x10
// of its type word is set or it is named like the loop variable.
TEST_F(Walk, EnclosingGroupsAreCopiedByTheirTypeWord) {
  struct Row {
    const char* name;
    std::uint32_t value_type;
    Bytes value;
    std::string expected;
  };
  const ZvbBuilder b;
  const Bytes u8_4 = { 4 };
  const Row rows[] = {
    { "run", TYPE_NULL, {}, "ID=1{x[1] t[0]}" },
    { "run", TYPE_S32, b.s32({ 4 }), "ID=1{run=4{x[1] t[0]}}" },
    { "run", TYPE_DOUBLE, b.f64({ 4 }), "ID=1{run=4{x[1] t[0]}}" },
    { "run", TYPE_U8, u8_4, "ID=1{run=4{x[1] t[0]}}" },
    { "run", TYPE_U16, b.u16({ 4 }), "ID=1{run=4{x[1] t[0]}}" },
    { "run", TYPE_U32, b.u32({ 4 }), "ID=1{run=4{x[1] t[0]}}" },
    { "run", TYPE_S8, u8_4, "ID=1{x[1] t[0]}" },
    { "run", TYPE_S16, b.u16({ 4 }), "ID=1{x[1] t[0]}" },
    { "run", TYPE_FLOAT, b.f32({ 4 }), "ID=1{x[1] t[0]}" },
    { "t", TYPE_S32, b.s32({ 4 }), "ID=1{x[1] t[0]}" },  // the loop variable's name
  };
  request("t", { "x" });
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.value_type));
    ZvbBuilder input;
    input.file_header().element(row.name, FLAG_GROUP | FLAG_SINGLE | row.value_type, row.value);
    input.group("step").single_f64("t", 0).array_f64("x", { 1 }).array_f64("ID", { 1 });
    input.end().end();
    read(input.bytes());
    EXPECT_EQ(transpose(), row.expected);
  }
}

TEST_F(Walk, CopiesNestInsideOutAndAreSharedWhenEqual) {
  ZvbBuilder b;
  b.file_header();
  const std::int32_t runs[] = { 1, 2, 1 };
  for (int i = 0; i < 3; i++) {
    b.group_s32("run", runs[i]).element("part", FLAG_GROUP | FLAG_SINGLE | TYPE_U16, b.u16({ 3 }));
    b.group_f64("time", i).array_f64("x", { 10.0 + i, 20.0 + i }).array_f64("ID", { 1, 2 });
    b.end().end().end();
  }
  read(b.bytes());
  request("time", { "x" });
  EXPECT_EQ(transpose(),
            "ID=1{part=3{run=1{x[10,12] time[0,2]} run=2{x[11] time[1]}}} "
            "ID=2{part=3{run=1{x[20,22] time[0,2]} run=2{x[21] time[1]}}}");
}
