// How zvbdump shows names, value types and values: as escaped text for the tree, and as CSV
// fields.
#ifndef ZVBTRACK_TOOLS_DUMP_VALUES_H_
#define ZVBTRACK_TOOLS_DUMP_VALUES_H_

#include <cstddef>
#include <cstdint>
#include <string>

// The name of the value type in the low byte of `type` ("double", "s32", "ascii", ...), or
// its code in hex ("0x70") when the code is unassigned.
std::string value_type_name(std::uint32_t type);

// Appends `length` bytes as readable text: printable ASCII as it is, backslash and double
// quote escaped, every other byte as \n, \t, \r or \xHH.
void append_escaped(std::string& out, const char* bytes, std::size_t length);

// A 16-byte name field as text: the bytes before its NUL, all 16 when it has none, escaped.
std::string name_text(const char* field);

// The number of values that `size` bytes of data hold: whole numbers of value_size bytes,
// NUL-terminated texts (a last text without its NUL counts too), or single bytes for the
// undefined and unassigned types, whose data have no structure. 0 for TYPE_NULL.
std::uint64_t count_values(std::uint32_t type, const unsigned char* data, std::uint32_t size);

// Takes the text gathered so far and leaves `text` empty.
using TextSink = void (*)(std::string& text);

// Appends the values of `size` bytes of data, separated by ", ": at most `limit` of them
// followed by ", ..." when more are left (limit 0: all). Numbers read back exactly (shortest
// round-trip digits), texts are quoted and escaped, bytes of a type without values are shown
// in hex. Bytes after the last whole number are appended as " +N bytes <hex>". Whenever `out`
// grows past VALUE_CHUNK bytes it goes to `sink`, so that the text of a long array is never
// held whole. Appends nothing for no data.
constexpr std::size_t VALUE_CHUNK = 64 * 1024;
void append_values(std::string& out, std::uint32_t type, const unsigned char* data,
                   std::uint32_t size, std::uint64_t limit, TextSink sink);

// Stores in `value` the one number that the data hold, as a double, and returns true; false
// when the type is not a number or the size is not that of exactly one value.
bool read_single_number(std::uint32_t type, const unsigned char* data, std::uint32_t size,
                        double* value);

// True for value types whose values make CSV cells: numbers and text.
bool has_csv_cells(std::uint32_t type);

// Appends the value that starts at `value`, `bytes_left` bytes before the end of its data, as
// one CSV field (numbers as in append_values, a text as it is, quoted only when it must be).
// Returns the bytes it took: 0 when too few are left for a whole value. Only for types with
// CSV cells.
std::size_t append_csv_value(std::string& out, std::uint32_t type, const unsigned char* value,
                             std::size_t bytes_left);

// Appends bytes (a name or a text) as one CSV field: escaped as append_escaped does, but with
// double quotes left as they are; prefixed with ' when a spreadsheet would take it for a
// formula (it starts with =, +, -, @, tab or CR and is not a plain number such as -1.5); then
// quoted, with quotes doubled, when it holds a comma or a double quote.
void append_csv_field(std::string& out, const char* bytes, std::size_t length);

// Writes the number that starts at `value` (a whole value in host order) at `out`, as
// append_values shows it, and returns the end of the text: at most NUMBER_TEXT_SIZE bytes.
constexpr std::size_t NUMBER_TEXT_SIZE = 32;
using NumberWriter = char* (*)(char* out, const unsigned char* value);

// The writer for the value type of `type`; null when its values are not numbers.
NumberWriter number_writer(std::uint32_t type);

#endif  // ZVBTRACK_TOOLS_DUMP_VALUES_H_
