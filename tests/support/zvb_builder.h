// Builds ZVB files as bytes in code, in either byte order, for tests.
#ifndef ZVBTRACK_TESTS_SUPPORT_ZVB_BUILDER_H_
#define ZVBTRACK_TESTS_SUPPORT_ZVB_BUILDER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/format.h"

using Bytes = std::vector<unsigned char>;

// Appends a file header and elements; numbers are stored in host order, or byte-reversed
// when `reversed`. Names are copied into the 16-byte field as given (16 bytes: no NUL).
class ZvbBuilder {
 public:
  explicit ZvbBuilder(bool reversed = false) : reversed_(reversed) {}

  ZvbBuilder& file_header(std::uint8_t format_major = 1, std::uint8_t format_minor = 1,
                          std::uint32_t creation_time = 0x01020304);
  // One element: header and raw data bytes taken as they are.
  ZvbBuilder& element(std::string_view name, std::uint32_t type, const Bytes& data);
  // One element whose header claims `size` bytes, followed by the given bytes only.
  ZvbBuilder& element_sized(std::string_view name, std::uint32_t type, std::uint32_t size,
                            const Bytes& data);
  ZvbBuilder& group(std::string_view name) { return element(name, FLAG_GROUP | TYPE_NULL, {}); }
  ZvbBuilder& group_f64(std::string_view name, double value);
  ZvbBuilder& group_s32(std::string_view name, std::int32_t value);
  ZvbBuilder& group_f32(std::string_view name, float value);
  ZvbBuilder& end() { return element("", END_MARKER_TYPE, {}); }
  ZvbBuilder& single_f64(std::string_view name, double value);
  ZvbBuilder& single_s32(std::string_view name, std::int32_t value);
  ZvbBuilder& array_f64(std::string_view name, const std::vector<double>& values);
  ZvbBuilder& array_f32(std::string_view name, const std::vector<float>& values);
  ZvbBuilder& array_s32(std::string_view name, const std::vector<std::int32_t>& values);
  ZvbBuilder& array_u8(std::string_view name, const std::vector<std::uint8_t>& values);
  ZvbBuilder& text(std::string_view name, std::string_view value);
  ZvbBuilder& raw(const Bytes& bytes);

  const Bytes& bytes() const { return bytes_; }

  // Value bytes in this builder's byte order.
  Bytes f64(const std::vector<double>& values) const;
  Bytes f32(const std::vector<float>& values) const;
  Bytes s32(const std::vector<std::int32_t>& values) const;
  Bytes u16(const std::vector<std::uint16_t>& values) const;
  Bytes u32(const std::vector<std::uint32_t>& values) const;

 private:
  void put_u32(std::uint32_t value);
  bool reversed_;
  Bytes bytes_;
};

// Value bytes in host order, for comparing with data in memory.
Bytes host_f64(const std::vector<double>& values);

std::string read_file_bytes(const std::string& path);
void write_file_bytes(const std::string& path, const Bytes& bytes);
void write_file_bytes(const std::string& path, const std::string& bytes);
// A file of `length` bytes: `head` at its start, `tail` at its end, a hole (zeros that take
// no disk space) between them.
void write_sparse_file(const std::string& path, const Bytes& head, std::int64_t length,
                       const Bytes& tail = {});

#endif  // ZVBTRACK_TESTS_SUPPORT_ZVB_BUILDER_H_
