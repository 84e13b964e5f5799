// Names, value types and values as zvbdump shows them.
#include "dump/values.h"

#include <charconv>
#include <cstring>

#include "data/format.h"

namespace {

// Shows one value that starts at `value`; returns the bytes it took, 0 when too few are left.
using ValueAppender = std::size_t (*)(std::string& out, const unsigned char* value,
                                      std::size_t bytes_left);
using ValueCounter = std::uint64_t (*)(std::uint32_t type, const unsigned char* data,
                                       std::uint32_t size);
using ValueReader = double (*)(const unsigned char* value);

struct ValueTypeRow {
  std::uint32_t code;  // the low byte of a type word
  const char* name;
  ValueCounter count;
  ValueAppender append;      // for the tree
  ValueAppender append_csv;  // for a CSV cell; null for types without values to tabulate
  ValueReader read;          // one value as a double; null for types that are not numbers
  NumberWriter write;        // one value as text into a buffer; null for types that are not numbers
};

template <typename T>
void append_number(std::string& out, T value) {
  char text[64];
  // Integers in decimal; float and double in the shortest digits that read back exactly.
  const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

template <typename T>
std::size_t append_stored(std::string& out, const unsigned char* value, std::size_t bytes_left) {
  if (bytes_left < sizeof(T))
    return 0;
  T number;
  std::memcpy(&number, value, sizeof number);
  if constexpr (sizeof(T) == 1)
    append_number(out, static_cast<int>(number));  // a number, not a character
  else
    append_number(out, number);
  return sizeof(T);
}

template <typename T>
char* write_stored(char* out, const unsigned char* value) {
  T number;
  std::memcpy(&number, value, sizeof number);
  if constexpr (sizeof(T) == 1)
    return std::to_chars(out, out + NUMBER_TEXT_SIZE, static_cast<int>(number)).ptr;
  else
    return std::to_chars(out, out + NUMBER_TEXT_SIZE, number).ptr;
}

template <typename T>
double read_stored(const unsigned char* value) {
  T number;
  std::memcpy(&number, value, sizeof number);
  return static_cast<double>(number);
}

std::size_t text_length(const unsigned char* value, std::size_t bytes_left) {
  const void* nul = std::memchr(value, '\0', bytes_left);
  return nul != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - value)
                        : bytes_left;
}

// A text runs to its NUL; the last one may lack it.
std::size_t append_text(std::string& out, const unsigned char* value, std::size_t bytes_left) {
  if (bytes_left == 0)
    return 0;
  const std::size_t length = text_length(value, bytes_left);
  out += '"';
  append_escaped(out, reinterpret_cast<const char*>(value), length);
  out += '"';
  return length < bytes_left ? length + 1 : length;
}

std::size_t append_csv_text(std::string& out, const unsigned char* value, std::size_t bytes_left) {
  if (bytes_left == 0)
    return 0;
  const std::size_t length = text_length(value, bytes_left);
  append_csv_field(out, reinterpret_cast<const char*>(value), length);
  return length < bytes_left ? length + 1 : length;
}

constexpr char HEX_DIGITS[] = "0123456789abcdef";

void append_hex(std::string& out, unsigned char byte) {
  out += HEX_DIGITS[byte >> 4];
  out += HEX_DIGITS[byte & 0xF];
}

std::size_t append_byte(std::string& out, const unsigned char* value, std::size_t bytes_left) {
  if (bytes_left == 0)
    return 0;
  out += "0x";
  append_hex(out, *value);
  return 1;
}

std::size_t append_nothing(std::string&, const unsigned char*, std::size_t) {
  return 0;
}

std::uint64_t count_by_size(std::uint32_t type, const unsigned char*, std::uint32_t size) {
  const std::int32_t width = value_size(type);
  return width > 0 ? size / static_cast<std::uint32_t>(width) : 0;
}

std::uint64_t count_texts(std::uint32_t, const unsigned char* data, std::uint32_t size) {
  std::uint64_t count = 0;
  for (std::size_t position = 0; position < size; count++)
    position += text_length(data + position, size - position) + 1;
  return count;
}

std::uint64_t count_bytes(std::uint32_t, const unsigned char*, std::uint32_t size) {
  return size;
}

// A row for a number type stored as T.
template <typename T>
constexpr ValueTypeRow number_row(std::uint32_t code, const char* name) {
  return { code,           name,           count_by_size, append_stored<T>, append_stored<T>,
           read_stored<T>, write_stored<T> };
}

const ValueTypeRow value_types[] = {
  { TYPE_UNDEF, "undef", count_bytes, append_byte, nullptr, nullptr, nullptr },
  { TYPE_ASCII, "ascii", count_texts, append_text, append_csv_text, nullptr, nullptr },
  number_row<std::int32_t>(TYPE_S32, "s32"),
  number_row<double>(TYPE_DOUBLE, "double"),
  { TYPE_NULL, "null", count_by_size, append_nothing, nullptr, nullptr, nullptr },
  number_row<std::uint8_t>(TYPE_U8, "u8"),
  number_row<std::int8_t>(TYPE_S8, "s8"),
  number_row<std::uint16_t>(TYPE_U16, "u16"),
  number_row<std::int16_t>(TYPE_S16, "s16"),
  number_row<std::uint32_t>(TYPE_U32, "u32"),
  number_row<float>(TYPE_FLOAT, "float"),
};

// Codes without a row carry bytes without structure.
constexpr ValueTypeRow UNASSIGNED_ROW = { 0,       nullptr, count_bytes, append_byte,
                                          nullptr, nullptr, nullptr };

const ValueTypeRow& find_row(std::uint32_t type) {
  for (const ValueTypeRow& row : value_types) {
    if (row.code == (type & TYPE_MASK))
      return row;
  }
  return UNASSIGNED_ROW;
}

}  // namespace

std::string value_type_name(std::uint32_t type) {
  const ValueTypeRow& row = find_row(type);
  if (row.name != nullptr)
    return row.name;
  std::string code = "0x";
  append_hex(code, static_cast<unsigned char>(type & TYPE_MASK));
  return code;
}

// The tree escapes double quotes too, as it quotes texts itself; CSV doubles them instead.
static void escape_bytes(std::string& out, const char* bytes, std::size_t length,
                         bool escape_quotes) {
  for (std::size_t i = 0; i < length; i++) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '\\' || (byte == '"' && escape_quotes)) {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += static_cast<char>(byte);
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte == '\r') {
      out += "\\r";
    } else {
      out += "\\x";
      append_hex(out, byte);
    }
  }
}

void append_escaped(std::string& out, const char* bytes, std::size_t length) {
  escape_bytes(out, bytes, length, true);
}

std::string name_text(const char* field) {
  std::string text;
  append_escaped(text, field, name_length(field));
  return text;
}

std::uint64_t count_values(std::uint32_t type, const unsigned char* data, std::uint32_t size) {
  return find_row(type).count(type, data, size);
}

void append_values(std::string& out, std::uint32_t type, const unsigned char* data,
                   std::uint32_t size, std::uint64_t limit, TextSink sink) {
  const ValueTypeRow& row = find_row(type);
  std::size_t position = 0;
  for (std::uint64_t shown = 0; position < size; shown++) {
    if (limit != 0 && shown == limit) {
      std::string next;
      if (row.append(next, data + position, size - position) == 0)
        break;  // no whole value left: only the bytes after the last one
      out += ", ...";
      return;
    }
    const std::size_t mark = out.size();
    if (shown != 0)
      out += ", ";
    const std::size_t taken = row.append(out, data + position, size - position);
    if (taken == 0) {
      out.resize(mark);
      break;
    }
    position += taken;
    if (out.size() > VALUE_CHUNK)
      sink(out);
  }
  if (position == size)
    return;
  // Bytes that make no whole value: a size that does not fit the type.
  out += position != 0 ? " +" : "+";
  append_number(out, size - position);
  out += size - position == 1 ? " byte <" : " bytes <";
  for (std::size_t i = position; i < size; i++) {
    if (i != position)
      out += ' ';
    append_hex(out, data[i]);
  }
  out += '>';
}

bool read_single_number(std::uint32_t type, const unsigned char* data, std::uint32_t size,
                        double* value) {
  const ValueTypeRow& row = find_row(type);
  if (row.read == nullptr || size != static_cast<std::uint32_t>(value_size(type)))
    return false;
  *value = row.read(data);
  return true;
}

bool has_csv_cells(std::uint32_t type) {
  return find_row(type).append_csv != nullptr;
}

std::size_t append_csv_value(std::string& out, std::uint32_t type, const unsigned char* value,
                             std::size_t bytes_left) {
  return find_row(type).append_csv(out, value, bytes_left);
}

// A decimal number as a spreadsheet reads it: sign, digits with an optional point, exponent.
static bool is_plain_number(const char* bytes, std::size_t length) {
  std::size_t i = 0;
  const auto skip_digits = [&] {
    const std::size_t start = i;
    while (i < length && bytes[i] >= '0' && bytes[i] <= '9')
      i++;
    return i - start;
  };
  if (i < length && (bytes[i] == '+' || bytes[i] == '-'))
    i++;
  std::size_t digits = skip_digits();
  if (i < length && bytes[i] == '.') {
    i++;
    digits += skip_digits();
  }
  if (digits == 0)
    return false;
  if (i < length && (bytes[i] == 'e' || bytes[i] == 'E')) {
    i++;
    if (i < length && (bytes[i] == '+' || bytes[i] == '-'))
      i++;
    if (skip_digits() == 0)
      return false;
  }
  return i == length;
}

void append_csv_field(std::string& out, const char* bytes, std::size_t length) {
  std::string cell;
  // A spreadsheet runs a cell that starts so as a formula, unless it reads as a number.
  if (length != 0 && std::memchr("=+-@\t\r", bytes[0], 6) != nullptr &&
      !is_plain_number(bytes, length))
    cell += '\'';
  escape_bytes(cell, bytes, length, false);
  if (cell.find_first_of(",\"\r\n") == std::string::npos) {
    out += cell;
    return;
  }
  out += '"';
  for (const char c : cell) {
    if (c == '"')
      out += '"';
    out += c;
  }
  out += '"';
}

NumberWriter number_writer(std::uint32_t type) {
  return find_row(type).write;
}
