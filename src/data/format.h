// The ZVB file format: the file and element headers, the type word, value sizes, and the
// byte helpers through which bytes of a file become numbers.
#ifndef ZVBTRACK_DATA_FORMAT_H_
#define ZVBTRACK_DATA_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// The first word of every file, in its writer's byte order.
constexpr std::uint32_t ZVB_MAGIC = 0x059F4C75u;

// The type word: the value type in the low byte, flags above it, bits 12-31 unassigned.
enum : std::uint32_t {
  TYPE_UNDEF = 0x00,  // no value defined
  TYPE_ASCII = 0x01,  // text with its NUL
  TYPE_S32 = 0x02,
  TYPE_DOUBLE = 0x03,
  TYPE_NULL = 0x10,  // no data
  TYPE_U8 = 0x20,
  TYPE_S8 = 0x30,
  TYPE_U16 = 0x40,
  TYPE_S16 = 0x50,
  TYPE_U32 = 0x60,
  TYPE_FLOAT = 0x90,
  TYPE_MASK = 0xFF,

  FLAG_GROUP = 0x100,      // children follow the element's data
  FLAG_END_GROUP = 0x200,  // closes the innermost open group (at the top level, the tree)
  FLAG_SINGLE = 0x400,     // the data hold one value
  FLAG_ARRAY = 0x800,      // the data hold a sequence of values
};

// The end-of-group marker as this program writes it.
constexpr std::uint32_t END_MARKER_TYPE = FLAG_END_GROUP | FLAG_SINGLE | TYPE_NULL;
// The root, and any group without a value of its own.
constexpr std::uint32_t ROOT_TYPE = FLAG_GROUP | TYPE_NULL;

constexpr std::size_t NAME_SIZE = 16;

// 48 bytes at offset 0 of every file.
struct FileHeader {
  std::uint32_t magic;          // ZVB_MAGIC in the writer's byte order
  std::uint32_t creation_time;  // seconds since 1970 UTC, low 32 bits
  char creator[16];             // NUL-terminated name of the writing program
  char destination[16];         // a second name with its own version bytes
  std::uint8_t format_major;    // a reader accepts only 1
  std::uint8_t format_minor;    // any value
  std::uint8_t creator_major;
  std::uint8_t creator_minor;
  std::uint8_t destination_major;
  std::uint8_t destination_minor;
  std::uint8_t reserved[2];
};
static_assert(sizeof(FileHeader) == 48);
static_assert(offsetof(FileHeader, creation_time) == 4 && offsetof(FileHeader, creator) == 8);
static_assert(offsetof(FileHeader, destination) == 24 && offsetof(FileHeader, format_major) == 40);
static_assert(offsetof(FileHeader, destination_minor) == 45 &&
              offsetof(FileHeader, reserved) == 46);
static_assert(std::is_trivially_copyable_v<FileHeader>);

// 24 bytes before every element's data.
struct ElementHeader {
  char name[16];       // up to 16 bytes; NUL-terminated when shorter
  std::uint32_t type;  // value type in the low byte, FLAG_* bits above it
  std::uint32_t size;  // data bytes that follow this header
};
static_assert(sizeof(ElementHeader) == 24);
static_assert(offsetof(ElementHeader, type) == 16 && offsetof(ElementHeader, size) == 20);
static_assert(std::is_trivially_copyable_v<ElementHeader>);

// Bytes of one value of the word's value type (low byte only): 0 for TYPE_NULL, 1, 2, 4 or
// 8 for the numbers, -1 for TYPE_UNDEF, TYPE_ASCII and every unassigned code.
std::int32_t value_size(std::uint32_t type);

// A file is in its writer's byte order; the magic tells the reader whether to swap.
constexpr std::uint16_t swap16(std::uint16_t v) {
  return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}
constexpr std::uint32_t swap32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
constexpr std::uint64_t swap64(std::uint64_t v) {
  return (static_cast<std::uint64_t>(swap32(static_cast<std::uint32_t>(v))) << 32) |
         swap32(static_cast<std::uint32_t>(v >> 32));
}
static_assert(swap32(ZVB_MAGIC) == 0x754C9F05u);
static_assert(swap64(0x0102030405060708ull) == 0x0807060504030201ull);

inline std::uint32_t load_u32(const unsigned char* p, bool is_reversed) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return is_reversed ? swap32(v) : v;
}
inline void store_u32(unsigned char* p, std::uint32_t v) {
  std::memcpy(p, &v, sizeof v);
}

// Reverses the bytes of each 2-, 4- or 8-byte value among the first size / value_size bytes
// of `data`; names, text, 1-byte values, unassigned types and trailing bytes stay as they are.
void reverse_values(unsigned char* data, std::uint32_t size, std::uint32_t type);

// File headers and element headers as bytes in host order, and back. A reversed element
// header has its type and size swapped.
void encode_file_header(const FileHeader& header, unsigned char bytes[48]);
FileHeader decode_file_header(const unsigned char bytes[48]);
inline void encode_element_header(const ElementHeader& header, unsigned char bytes[24]) {
  std::memcpy(bytes, header.name, NAME_SIZE);
  store_u32(bytes + offsetof(ElementHeader, type), header.type);
  store_u32(bytes + offsetof(ElementHeader, size), header.size);
}
ElementHeader decode_element_header(const unsigned char bytes[24], bool is_reversed);

// Names are 16-byte fields: the bytes before the first NUL, or all 16 when there is none.
std::size_t name_length(const char* field);
// A field equals a text when both hold the same bytes; a text of more than 16 bytes never
// equals a field.
bool name_equals(const char* field, const char* text);
bool names_equal(const char* field, const char* other_field);
// Copies up to 16 bytes of `text` into `field` and zero-fills the rest.
void set_name(char* field, const char* text);

#endif  // ZVBTRACK_DATA_FORMAT_H_
