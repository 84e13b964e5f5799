// Value sizes, byte order and name fields of the ZVB format.
#include "data/format.h"

std::int32_t value_size(std::uint32_t type) {
  switch (type & TYPE_MASK) {
  case TYPE_NULL:
    return 0;
  case TYPE_U8:
  case TYPE_S8:
    return 1;
  case TYPE_U16:
  case TYPE_S16:
    return 2;
  case TYPE_S32:
  case TYPE_U32:
  case TYPE_FLOAT:
    return 4;
  case TYPE_DOUBLE:
    return 8;
  default:
    return -1;
  }
}

void reverse_values(unsigned char* data, std::uint32_t size, std::uint32_t type) {
  const std::int32_t width = value_size(type);
  if (width != 2 && width != 4 && width != 8)
    return;
  const std::uint32_t count = size / static_cast<std::uint32_t>(width);
  unsigned char* p = data;
  for (std::uint32_t i = 0; i < count; i++, p += width) {
    if (width == 2) {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      v = swap16(v);
      std::memcpy(p, &v, 2);
    } else if (width == 4) {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      v = swap32(v);
      std::memcpy(p, &v, 4);
    } else {
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      v = swap64(v);
      std::memcpy(p, &v, 8);
    }
  }
}

void encode_file_header(const FileHeader& header, unsigned char bytes[48]) {
  std::memcpy(bytes, &header, sizeof header);
}

FileHeader decode_file_header(const unsigned char bytes[48]) {
  FileHeader header;
  std::memcpy(&header, bytes, sizeof header);
  return header;
}

ElementHeader decode_element_header(const unsigned char bytes[24], bool is_reversed) {
  ElementHeader header;
  std::memcpy(header.name, bytes, NAME_SIZE);
  header.type = load_u32(bytes + offsetof(ElementHeader, type), is_reversed);
  header.size = load_u32(bytes + offsetof(ElementHeader, size), is_reversed);
  return header;
}

std::size_t name_length(const char* field) {
  const void* nul = std::memchr(field, '\0', NAME_SIZE);
  return nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - field)
                        : NAME_SIZE;
}

bool name_equals(const char* field, const char* text) {
  // The text must hold the same bytes and end right there; the comparison stops at the
  // first NUL of either, so a shorter text is never read past its end.
  for (std::size_t i = 0; i < NAME_SIZE; i++) {
    if (field[i] != text[i])
      return false;
    if (field[i] == '\0')
      return true;
  }
  return text[NAME_SIZE] == '\0';
}

bool names_equal(const char* field, const char* other_field) {
  const std::size_t length = name_length(field);
  return length == name_length(other_field) && std::memcmp(field, other_field, length) == 0;
}

void set_name(char* field, const char* text) {
  std::size_t i = 0;
  for (; i < NAME_SIZE && text[i] != '\0'; i++)
    field[i] = text[i];
  for (; i < NAME_SIZE; i++)
    field[i] = '\0';
}
