// The test file builder.
#include "support/zvb_builder.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

template <typename T>
Bytes encode(const std::vector<T>& values, bool reversed) {
  Bytes out(values.size() * sizeof(T));
  for (std::size_t i = 0; i < values.size(); i++) {
    unsigned char* p = out.data() + i * sizeof(T);
    std::memcpy(p, &values[i], sizeof(T));
    if (reversed) {
      for (std::size_t a = 0, b = sizeof(T) - 1; a < b; a++, b--)
        std::swap(p[a], p[b]);
    }
  }
  return out;
}

}  // namespace

void ZvbBuilder::put_u32(std::uint32_t value) {
  Bytes b = encode(std::vector<std::uint32_t>{ value }, reversed_);
  bytes_.insert(bytes_.end(), b.begin(), b.end());
}

ZvbBuilder& ZvbBuilder::file_header(std::uint8_t format_major, std::uint8_t format_minor,
                                    std::uint32_t creation_time) {
  put_u32(ZVB_MAGIC);
  put_u32(creation_time);
  unsigned char names[32] = { 'T', 'E', 'S', 'T' };
  bytes_.insert(bytes_.end(), names, names + 32);
  const unsigned char versions[8] = { format_major, format_minor, 2, 3, 4, 5, 0, 0 };
  bytes_.insert(bytes_.end(), versions, versions + 8);
  return *this;
}

ZvbBuilder& ZvbBuilder::element_sized(std::string_view name, std::uint32_t type, std::uint32_t size,
                                      const Bytes& data) {
  if (name.size() > NAME_SIZE)
    throw std::invalid_argument("name longer than 16 bytes");
  unsigned char field[NAME_SIZE] = {};
  std::memcpy(field, name.data(), name.size());
  bytes_.insert(bytes_.end(), field, field + NAME_SIZE);
  put_u32(type);
  put_u32(size);
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

ZvbBuilder& ZvbBuilder::element(std::string_view name, std::uint32_t type, const Bytes& data) {
  return element_sized(name, type, static_cast<std::uint32_t>(data.size()), data);
}

ZvbBuilder& ZvbBuilder::group_f64(std::string_view name, double value) {
  return element(name, FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE, f64({ value }));
}
ZvbBuilder& ZvbBuilder::group_s32(std::string_view name, std::int32_t value) {
  return element(name, FLAG_GROUP | FLAG_SINGLE | TYPE_S32, s32({ value }));
}
ZvbBuilder& ZvbBuilder::group_f32(std::string_view name, float value) {
  return element(name, FLAG_GROUP | FLAG_SINGLE | TYPE_FLOAT, f32({ value }));
}
ZvbBuilder& ZvbBuilder::single_f64(std::string_view name, double value) {
  return element(name, FLAG_SINGLE | TYPE_DOUBLE, f64({ value }));
}
ZvbBuilder& ZvbBuilder::single_s32(std::string_view name, std::int32_t value) {
  return element(name, FLAG_SINGLE | TYPE_S32, s32({ value }));
}
ZvbBuilder& ZvbBuilder::array_f64(std::string_view name, const std::vector<double>& values) {
  return element(name, FLAG_ARRAY | TYPE_DOUBLE, f64(values));
}
ZvbBuilder& ZvbBuilder::array_f32(std::string_view name, const std::vector<float>& values) {
  return element(name, FLAG_ARRAY | TYPE_FLOAT, f32(values));
}
ZvbBuilder& ZvbBuilder::array_s32(std::string_view name, const std::vector<std::int32_t>& values) {
  return element(name, FLAG_ARRAY | TYPE_S32, s32(values));
}
ZvbBuilder& ZvbBuilder::array_u8(std::string_view name, const std::vector<std::uint8_t>& values) {
  return element(name, FLAG_ARRAY | TYPE_U8, Bytes(values.begin(), values.end()));
}
ZvbBuilder& ZvbBuilder::text(std::string_view name, std::string_view value) {
  Bytes data(value.begin(), value.end());
  data.push_back(0);
  return element(name, FLAG_SINGLE | TYPE_ASCII, data);
}
ZvbBuilder& ZvbBuilder::raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes ZvbBuilder::f64(const std::vector<double>& values) const {
  return encode(values, reversed_);
}
Bytes ZvbBuilder::f32(const std::vector<float>& values) const {
  return encode(values, reversed_);
}
Bytes ZvbBuilder::s32(const std::vector<std::int32_t>& values) const {
  return encode(values, reversed_);
}
Bytes ZvbBuilder::u16(const std::vector<std::uint16_t>& values) const {
  return encode(values, reversed_);
}
Bytes ZvbBuilder::u32(const std::vector<std::uint32_t>& values) const {
  return encode(values, reversed_);
}

Bytes host_f64(const std::vector<double>& values) {
  return encode(values, false);
}

std::string read_file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  if (in.peek() != std::ifstream::traits_type::eof())
    bytes << in.rdbuf();  // in one piece: large files take no time in sanitizer builds
  return bytes.str();
}

void write_file_bytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void write_file_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void write_sparse_file(const std::string& path, const Bytes& head, std::int64_t length,
                       const Bytes& tail) {
  write_file_bytes(path, head);
  if (truncate(path.c_str(), static_cast<off_t>(length)) != 0)
    throw std::runtime_error("truncate failed");
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(length - static_cast<std::int64_t>(tail.size())));
  out.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
  if (!out)
    throw std::runtime_error("writing the tail failed");
}
