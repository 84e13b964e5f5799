// Value sizes and name fields of the format.
#include "data/format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

TEST(Format, ValueSizeLooksOnlyAtTheLowByte) {
  const std::pair<std::uint32_t, std::int32_t> assigned[] = {
    { TYPE_NULL, 0 }, { TYPE_U8, 1 },  { TYPE_S8, 1 },    { TYPE_U16, 2 },    { TYPE_S16, 2 },
    { TYPE_S32, 4 },  { TYPE_U32, 4 }, { TYPE_FLOAT, 4 }, { TYPE_DOUBLE, 8 },
  };
  for (std::uint32_t code = 0; code <= 0xFF; code++) {
    SCOPED_TRACE(code);
    std::int32_t expected = -1;  // TYPE_UNDEF, TYPE_ASCII and every unassigned code
    for (const auto& [assigned_code, size] : assigned)
      expected = assigned_code == code ? size : expected;
    EXPECT_EQ(value_size(code), expected);
    EXPECT_EQ(value_size(code | 0xFFFFFF00u), expected);
  }
}

TEST(Format, NamesCompareAsTextWithinSixteenBytes) {
  struct Row {
    std::string_view field;  // all 16 bytes of a name field
    const char* text;
    bool equal;
  };
  using namespace std::string_view_literals;
  const Row rows[] = {
    { "ID\0\0\0\0\0\0\0\0\0\0\0\0\0\0"sv, "ID", true },
    { "ID\0\0\0\0\0\0\0\0\0\0\0\0\0\0"sv, "I", false },
    { "ID\0\0\0\0\0\0\0\0\0\0\0\0\0\0"sv, "IDx", false },
    { "ID\0\0\0\0\0\0\0\0\0\0\0\0\0\0"sv, "id", false },
    { "ID\0junk-after-nu"sv, "ID", true },
    { "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"sv, "", true },
    // Without a NUL the name is all 16 bytes: neither a prefix nor a longer text matches.
    { "sixteen_chars_xy"sv, "sixteen_chars_xy", true },
    { "sixteen_chars_xy"sv, "sixteen_chars_x", false },
    { "sixteen_chars_xy"sv, "sixteen_chars_xyz", false },
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.field) + " vs " + row.text);
    EXPECT_EQ(name_equals(row.field.data(), row.text), row.equal);
    if (std::strlen(row.text) > NAME_SIZE)
      continue;  // set_name would cut it to fit
    char made[NAME_SIZE];
    set_name(made, row.text);
    EXPECT_EQ(names_equal(row.field.data(), made), row.equal);
    EXPECT_EQ(names_equal(made, row.field.data()), row.equal);
  }
}
