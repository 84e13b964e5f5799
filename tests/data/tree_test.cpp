// The data tree: building, searching, converting, releasing, walking and freeing nodes.
#include "data/tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/report.h"
#include "support/temp_dir.h"
#include "support/tree_fixture.h"
#include "support/zvb_builder.h"

using testing::ElementsAre;
using testing::Eq;
using testing::ExitedWithCode;

namespace {

// A group with `size` bytes of `value` as its own data (none for size 0).
DataNode* add_group_of(DataNode* parent, const char* name, std::uint32_t type = TYPE_NULL,
                       double value = 0, std::uint32_t size = 0) {
  DataNode templ{};
  set_name(templ.name, name);
  templ.type = type;
  templ.size = size;
  templ.data = reinterpret_cast<unsigned char*>(&value);
  return add_group(parent, &templ);
}

DataNode* add_double(DataNode* parent, const char* name, double value) {
  return add_array(parent, name, 1, TYPE_DOUBLE, &value);
}

// Reads `bytes` as a file whose arrays stay on file until they are loaded.
struct FileTree {
  explicit FileTree(const Bytes& bytes) : path(dir.file("tree.zvb")) {
    write_file_bytes(path, bytes);
  }
  TempDir dir;
  std::string path;
};

}  // namespace

TEST(Tree, NamesAreFoundOnlyWhereOneChildBearsThem) {
  BuiltFile file;
  DataNode* top = add_double(file.root(), "top", 0);
  DataNode* outer = add_group_of(file.root(), "outer");
  DataNode* outer_x = add_double(outer, "x", 1);
  DataNode* start = add_group_of(outer, "start");
  add_double(start, "x", 2);
  DataNode* y = add_double(start, "y", 3);
  add_double(start, "x", 4);
  add_double(start, "start", 5);
  EXPECT_EQ(find_child(start, "x"), nullptr);
  EXPECT_EQ(find_child(start, "y"), y);
  EXPECT_EQ(find_child(start, "z"), nullptr);
  EXPECT_EQ(find_in_scope("start", start), start);  // itself before its children
  EXPECT_EQ(find_in_scope("y", start), y);
  EXPECT_EQ(find_in_scope("x", start), outer_x);  // two children bear x: one level up
  EXPECT_EQ(find_in_scope("top", start), top);
  EXPECT_EQ(find_in_scope("none", start), nullptr);
  EXPECT_EQ(find_in_scope("x", file.root()), nullptr);
}

TEST(Tree, FindInScopeLoadsOnlyWhatItFinds) {
  FileTree input(
      ZvbBuilder().file_header().array_f64("a", { 1 }).group("g").array_f64("b", { 2 }).bytes());
  ReadTree tree(input.path, READ_ON_FILE);
  DataNode* a = tree.root()->first_child;
  DataNode* group = a->next;
  EXPECT_EQ(find_in_scope("none", group), nullptr);
  EXPECT_EQ(a->data, nullptr);
  EXPECT_EQ(group->first_child->data, nullptr);
  EXPECT_EQ(find_in_scope("a", group), a);
  EXPECT_EQ(data_of(a), host_f64({ 1 }));
  EXPECT_EQ(group->first_child->data, nullptr);
}

TEST(Tree, FindEqualChildComparesNameTypeSizeAndData) {
  const std::uint32_t value = FLAG_SINGLE | TYPE_DOUBLE;
  BuiltFile file;
  DataNode* one = add_group_of(file.root(), "step", value, 1.0, 8);
  DataNode* two = add_group_of(file.root(), "step", value, 2.0, 8);
  DataNode* none = add_group_of(file.root(), "step");
  struct Row {
    const char* name;
    std::uint32_t type;
    double value;
    std::uint32_t size;
    DataNode* expected;
  };
  const Row rows[] = {
    { "step", value, 1.0, 8, one },     { "step", value, 2.0, 8, two },
    { "step", TYPE_NULL, 0, 0, none },  { "step", value, 3.0, 8, nullptr },
    { "stop", value, 1.0, 8, nullptr }, { "step", value | 0x1000, 1.0, 8, nullptr },
    { "step", value, 1.0, 4, nullptr }, { "step", FLAG_SINGLE | TYPE_S32, 1.0, 8, nullptr },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << row.name << " " << row.type << " " << row.value << " " << row.size);
    DataNode probe{};
    set_name(probe.name, row.name);
    probe.type = FLAG_GROUP | row.type;
    probe.size = row.size;
    double data = row.value;
    probe.data = reinterpret_cast<unsigned char*>(&data);
    EXPECT_EQ(find_equal_child(file.root(), &probe), row.expected);
  }
}

TEST(Tree, NewChildrenGoBeforeTheEndMarker) {
  BuiltFile file;
  DataNode* outer = add_group_of(file.root(), "outer");
  EXPECT_EQ(shape_of(file.root()), "outer{.}");
  EXPECT_EQ(outer->child_count, 1);
  DataNode templ{};
  set_name(templ.name, "a");
  templ.type = FLAG_SINGLE | TYPE_DOUBLE;
  templ.size = 8;
  const double value = 2.5;
  templ.data = const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(&value));
  DataNode* a = add_group(outer, &templ);
  add_double(outer, "b", 1);
  add_group_of(file.root(), "last");  // a root has no marker: it grows at its end
  EXPECT_EQ(shape_of(file.root()), "outer{a{.} b .} last{.}");
  EXPECT_EQ(outer->child_count, 3);
  EXPECT_EQ(file.root()->child_count, 2);

  EXPECT_EQ(templ.type, FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE);  // the template is marked too
  EXPECT_EQ(a->type, templ.type);
  EXPECT_EQ(a->stored_type, templ.type);
  EXPECT_EQ(a->stored_size, 8u);
  EXPECT_NE(a->data, templ.data);
  EXPECT_EQ(data_of(a), host_f64({ 2.5 }));
  EXPECT_EQ(a->child_count, 1);
  const DataNode* marker = a->first_child;
  EXPECT_EQ(marker->type, END_MARKER_TYPE);
  EXPECT_EQ(marker->size, 0u);
  EXPECT_EQ(marker->data, nullptr);
  EXPECT_EQ(std::string(marker->name, NAME_SIZE), std::string(NAME_SIZE, '\0'));
  EXPECT_EQ(file.root()->first_child->next->data, nullptr);  // no data for a size of 0
}

TEST(Tree, AddArrayCopiesItsValues) {
  BuiltFile file;
  const std::int32_t values[] = { -1, 0, 7 };
  DataNode* array = add_array(file.root(), "v", 3, TYPE_S32, values);
  EXPECT_EQ(array->type, FLAG_ARRAY | TYPE_S32);
  EXPECT_EQ(array->stored_type, array->type);
  EXPECT_EQ(array->stored_size, 12u);
  EXPECT_EQ(std::string(array->name, NAME_SIZE), std::string("v") + std::string(15, '\0'));
  ASSERT_EQ(array->size, sizeof values);
  EXPECT_EQ(std::memcmp(array->data, values, sizeof values), 0);
  DataNode* none = add_array(file.root(), "none", 0, TYPE_DOUBLE, nullptr);
  EXPECT_EQ(none->size, 0u);
  EXPECT_EQ(none->data, nullptr);
}

TEST(Tree, AddArrayRefusesTypesWithoutSizeAndArraysOf4GiB) {
  program_name = "zvbtrack";
  const unsigned char byte = 0;
  BuiltFile file;
  for (const std::uint32_t type : { 0x00u, 0x01u, 0x70u, 0x80u }) {  // undefined, text, unassigned
    SCOPED_TRACE(type);
    EXPECT_EXIT(add_array(file.root(), "v", 1, type, &byte), ExitedWithCode(1),
                Eq(error_line("Writing unknown data type to memory")));
  }
  EXPECT_EXIT(add_array(file.root(), "big", 0x40000000u, TYPE_U32, &byte), ExitedWithCode(1),
              Eq(error_line("\"big\": Array of 4 GiB or more")));
}

TEST(Tree, ConvertToDoubleTurnsEveryNumericType) {
  struct Row {
    const char* name;
    std::uint32_t type;
    Bytes data;  // host order
    std::vector<double> doubles;
    int result = 0;
  };
  const Row rows[] = {
    { "u32", TYPE_U32, { 0xFF, 0xFF, 0xFF, 0xFF }, { 4294967295.0 } },
    { "s32", TYPE_S32, { 0xFF, 0xFF, 0xFF, 0xFF }, { -1.0 } },
    { "u16", TYPE_U16, { 0xFF, 0xFF, 0x02, 0x00 }, { 65535.0, 2.0 } },
    { "s16", TYPE_S16, { 0xFF, 0xFF, 0x00, 0x80 }, { -1.0, -32768.0 } },
    { "u8", TYPE_U8, { 0xFF, 0x00, 0x80 }, { 255.0, 0.0, 128.0 } },
    { "s8", TYPE_S8, { 0xFF, 0x7F, 0x80 }, { -1.0, 127.0, -128.0 } },
    { "float", TYPE_FLOAT, ZvbBuilder().f32({ 1.5f, -0.1f }), { 1.5, double{ -0.1f } } },
    { "u32 and 1 byte", TYPE_U32, { 1, 0, 0, 0, 9 }, { 1.0 } },
    { "s32 of 3 bytes", TYPE_S32, { 1, 2, 3 }, {} },
    // Doubles stay; what is not a number is refused and stays as it was.
    { "double", TYPE_DOUBLE, host_f64({ 0.25 }), { 0.25 } },
    { "ascii", TYPE_ASCII, { 'a', 0 }, {}, 1 },
    { "undefined", TYPE_UNDEF, { 1, 2, 3, 4 }, {}, 1 },
    { "null", TYPE_NULL, { 1, 2, 3, 4 }, {}, 1 },
    { "unassigned", 0x70, { 1, 2, 3, 4 }, {}, 1 },
  };
  ZvbBuilder builder;
  builder.file_header();
  for (const Row& row : rows)
    builder.element(row.name, FLAG_SINGLE | row.type, row.data);
  FileTree input(builder.bytes());
  ReadTree tree(input.path);
  DataNode* node = tree.root()->first_child;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const unsigned char* before = node->data;
    ASSERT_EQ(convert_to_double(node), row.result);
    EXPECT_EQ(node->type, FLAG_SINGLE | (row.result == 0 ? TYPE_DOUBLE : row.type));
    EXPECT_EQ(data_of(node), row.result == 0 ? host_f64(row.doubles) : row.data);
    EXPECT_EQ(node->data == nullptr, row.result == 0 && row.doubles.empty());
    if (row.result != 0 || row.type == TYPE_DOUBLE) {
      EXPECT_EQ(node->data, before);
    }
    EXPECT_EQ(node->stored_type, FLAG_SINGLE | row.type);
    EXPECT_EQ(node->stored_size, row.data.size());
    node = node->next;
  }
}

TEST(Tree, ConvertToDoubleRefusesAResultOf4GiB) {
  // 2^29 values make 4 GiB of doubles; the size is judged before any value is touched.
  DataNode node{};
  set_name(node.name, "huge");
  node.type = node.stored_type = FLAG_ARRAY | TYPE_U8;
  node.size = node.stored_size = 0x20000000u;
  unsigned char byte = 0;
  node.data = &byte;
  program_name = "zvbtrack";
  EXPECT_EXIT(convert_to_double(&node), ExitedWithCode(1),
              Eq(error_line("\"huge\": Array of 4 GiB or more")));
}

TEST(Tree, ReleaseDataSendsOnlyFileBackedArraysBack) {
  FileTree input(ZvbBuilder()
                     .file_header()
                     .array_s32("a", { 1, -2 })
                     .single_f64("s", 3)
                     .element("g", FLAG_GROUP | FLAG_ARRAY | TYPE_U8, { 1, 2 })
                     .end()
                     .bytes());
  ReadTree tree(input.path, READ_ON_FILE);
  const std::vector<DataNode*> top = children_of(tree.root());
  ASSERT_EQ(top.size(), 3u);
  load_data(top[0]);
  ASSERT_EQ(convert_to_double(top[0]), 0);
  release_data(top[0]);
  EXPECT_EQ(top[0]->data, nullptr);
  EXPECT_EQ(top[0]->type, FLAG_ARRAY | TYPE_S32);
  EXPECT_EQ(top[0]->size, 8u);

  // Data read at once and arrays made in memory stay.
  BuiltFile file;
  for (DataNode* kept : { top[1], top[2], add_double(file.root(), "m", 1) }) {
    const Bytes data = data_of(kept);
    release_data(kept);
    EXPECT_EQ(data_of(kept), data);
    EXPECT_FALSE(data.empty());
  }
}

namespace {

std::vector<std::string> visits;

int record_visit(DataNode* group, std::uint32_t depth) {
  visits.push_back(name_of(group) + ":" + std::to_string(depth));
  return 0;
}

// In the group "inner", loads its own array and one of its parent's, and converts its own.
int load_from_inner(DataNode* group, std::uint32_t) {
  if (name_of(group) == "inner" && find_in_scope("outer_array", group) != nullptr)
    convert_to_double(find_in_scope("own", group));
  return 0;
}

}  // namespace

TEST(Tree, WalkGroupsVisitsGroupsInFileOrderWithTheirDepth) {
  BuiltFile file;
  DataNode* a = add_group_of(file.root(), "A");
  add_double(a, "leaf", 1);
  DataNode* b = add_group_of(a, "B");
  add_group_of(b, "C");
  add_group_of(a, "E");
  add_group_of(file.root(), "D");
  visits.clear();
  walk_groups(file.root(), record_visit, 0);
  EXPECT_THAT(visits, ElementsAre(":0", "A:1", "B:2", "C:3", "E:2", "D:1"));
  // From inside the tree the walk stays in that subtree, at the depth given.
  visits.clear();
  walk_groups(b, record_visit, 7);
  walk_groups(nullptr, record_visit, 0);
  EXPECT_THAT(visits, ElementsAre("B:7", "C:8"));
}

TEST(Tree, WalkGroupsReleasesTheArraysOfEachVisitedGroup) {
  FileTree input(ZvbBuilder()
                     .file_header()
                     .group("outer")
                     .array_s32("outer_array", { 1 })
                     .group("inner")
                     .array_s32("own", { 2, 3 })
                     .bytes());
  ReadTree tree(input.path, READ_ON_FILE);
  DataNode* outer_array = tree.root()->first_child->first_child;
  DataNode* own = outer_array->next->first_child;
  // What a visit loads among the visited group's children goes back after it; what it loads
  // among an ancestor's children stays.
  walk_groups(tree.root(), load_from_inner, 0);
  EXPECT_EQ(own->data, nullptr);
  EXPECT_EQ(own->type, FLAG_ARRAY | TYPE_S32);
  EXPECT_EQ(own->size, 8u);
  EXPECT_EQ(data_of(outer_array), ZvbBuilder().s32({ 1 }));
  // Without a visitor every loaded file-backed array goes back.
  load_data(own);
  walk_groups(tree.root(), nullptr, 0);
  EXPECT_EQ(own->data, nullptr);
  EXPECT_EQ(outer_array->data, nullptr);
}

TEST(Tree, FreeTreeLeavesAnEmptyReusableNode) {
  BuiltFile file;
  DataNode* group = add_group_of(file.root(), "g");
  add_double(add_group_of(group, "inner"), "x", 1);
  add_double(file.root(), "y", 2);
  free_tree(group);  // a group is emptied and stays where it is
  EXPECT_EQ(group->child_count, 0);
  EXPECT_EQ(shape_of(file.root()), "g{} y");
  free_tree(file.root());
  free_tree(nullptr);
  EXPECT_EQ(file.root()->first_child, nullptr);
  EXPECT_EQ(file.root()->child_count, 0);
  EXPECT_EQ(file.root()->type, ROOT_TYPE);
  add_double(file.root(), "again", 3);
  EXPECT_EQ(shape_of(file.root()), "again");
}

TEST(Tree, SixteenByteNamesMatchOnlyWhole) {
  FileTree input(ZvbBuilder()
                     .file_header()
                     .single_s32("sixteen_bytes_xy", 1)
                     .single_s32("sixteen_bytes_x", 2)
                     .bytes());
  ReadTree tree(input.path);
  const std::vector<DataNode*> top = children_of(tree.root());
  EXPECT_EQ(find_child(tree.root(), "sixteen_bytes_xy"), top[0]);
  EXPECT_EQ(find_child(tree.root(), "sixteen_bytes_x"), top[1]);
  EXPECT_EQ(find_child(tree.root(), "sixteen_bytes_xyz"), nullptr);
}

TEST(Tree, DeepTreeIsWalkedAndFreedInConstantStack) {
  constexpr std::uint32_t DEPTH = 100000;
  BuiltFile file;
  DataNode* group = file.root();
  for (std::uint32_t i = 0; i < DEPTH; i++)
    group = add_group_of(group, "g");
  visits.clear();
  walk_groups(
      file.root(),
      [](DataNode*, std::uint32_t depth) {
        if (depth == DEPTH || visits.empty())
          visits.push_back(std::to_string(depth));
        return 0;
      },
      0);
  EXPECT_THAT(visits, ElementsAre("0", "100000"));
  free_tree(file.root());
  EXPECT_EQ(file.root()->first_child, nullptr);
}
