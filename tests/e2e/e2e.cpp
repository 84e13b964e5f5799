// Helpers shared by the end-to-end tests.
#include "e2e/e2e.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>

#include "data/format.h"

const char SHORT_HELP[] =
    "usage: zvbtrack [-hHvn] [-s array] [-o outfile] [-a outfile] [-i ids] [-w lo..hi] infile loop_var arrays ...\n";

RunResult run_zvbtrack(const std::vector<std::string>& args, const RunOptions& options,
                       const std::string& dir) {
  RunOptions run_options = options;
  if (!dir.empty()) {
    const std::function<void()> before = options.in_child;
    run_options.in_child = [dir, before] {
      if (chdir(dir.c_str()) != 0)
        _exit(124);
      if (before)
        before();
    };
  }
  return run_program(ZVBTRACK_BIN, args, run_options);
}

RunResult run_zvbtrack_tree(const std::vector<std::string>& args) {
  RunOptions options;
  options.argv0 = "zvbtrack";  // the same name in its messages
  return run_program(ZVBTRACK_TREE_BIN, args, options);
}

void run_zvbgen(const std::vector<std::string>& args) {
  const RunResult result = run_program(ZVBGEN_BIN, args);
  ASSERT_EQ(result.status, 0) << result.err;
}

Bytes output_header() {
  Bytes header(sizeof(FileHeader), 0);
  store_u32(header.data(), ZVB_MAGIC);
  std::memcpy(header.data() + offsetof(FileHeader, creator), "ZVBTRACK", 8);
  header[offsetof(FileHeader, format_major)] = 1;
  header[offsetof(FileHeader, format_minor)] = 1;
  header[offsetof(FileHeader, creator_major)] = 1;
  return header;
}

ZvbBuilder expected_output() {
  ZvbBuilder builder;
  builder.raw(output_header());
  return builder;
}

Bytes example_input(bool reversed) {
  ZvbBuilder b(reversed);
  b.file_header();
  b.group_f64("time", 0).array_f64("x", { 1, 2 }).array_f64("y", { 3, 4 });
  b.array_f64("ID", { 7, 8 }).end();
  b.group_f64("time", 1).array_f64("x", { 5, 6 }).array_f64("y", { 7, 8 });
  b.array_f64("ID", { 8, 7 }).end();
  return b.bytes();
}

Bytes example_output() {
  Bytes bytes = output_header();
  const Bytes elements = example_elements();
  bytes.insert(bytes.end(), elements.begin(), elements.end());
  return bytes;
}

Bytes example_elements() {
  ZvbBuilder b;
  b.group_f64("ID", 7).array_f64("x", { 1, 6 }).array_f64("y", { 3, 8 });
  b.array_f64("time", { 0, 1 }).end();
  b.group_f64("ID", 8).array_f64("x", { 2, 5 }).array_f64("y", { 4, 7 });
  b.array_f64("time", { 0, 1 }).end();
  return b.bytes();
}

std::string file_bytes(const std::string& path) {
  EXPECT_EQ(access(path.c_str(), F_OK), 0) << path << " does not exist";
  return read_file_bytes(path);
}

std::string describe_zvb(const std::string& bytes) {
  std::ostringstream out;
  if (bytes.size() < sizeof(FileHeader))
    return "(" + std::to_string(bytes.size()) + " bytes, no header)\n";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t offset = sizeof(FileHeader);
  int depth = 0;
  while (bytes.size() - offset >= sizeof(ElementHeader)) {
    const ElementHeader header = decode_element_header(p + offset, false);
    offset += sizeof(ElementHeader);
    char type[16];
    std::snprintf(type, sizeof type, "0x%x", header.type);
    out << std::string(2 * depth, ' ') << std::string(header.name, name_length(header.name)) << " "
        << type << " " << header.size << ":";
    const std::size_t size = std::min<std::size_t>(header.size, bytes.size() - offset);
    if ((header.type & TYPE_MASK) == TYPE_DOUBLE && size % 8 == 0) {
      for (std::size_t i = 0; i < size; i += 8) {
        double value;
        std::memcpy(&value, p + offset + i, sizeof value);
        out << " " << value;
      }
    } else {
      for (std::size_t i = 0; i < size; i++) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", p[offset + i]);
        out << hex;
      }
    }
    out << "\n";
    offset += size;
    if ((header.type & FLAG_GROUP) != 0)
      depth++;
    if ((header.type & FLAG_END_GROUP) != 0 && depth > 0)
      depth--;
  }
  if (offset != bytes.size())
    out << "(" << bytes.size() - offset << " bytes left over)\n";
  return out.str();
}

// Up to a dozen lines of `text` from a little before line `first`.
static std::string excerpt(const std::string& text, std::size_t first) {
  std::istringstream in(text);
  std::string line;
  std::string shown;
  for (std::size_t i = 0; std::getline(in, line) && i < first + 8; i++) {
    if (i + 4 >= first)
      shown += "  " + line + "\n";
  }
  return shown;
}

testing::AssertionResult SameOutput(const std::string& actual, const Bytes& expected) {
  std::string masked = actual;
  if (masked.size() >= 8)
    std::memset(masked.data() + 4, 0, 4);
  const std::string wanted(expected.begin(), expected.end());
  if (masked == wanted)
    return testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < masked.size() && at < wanted.size() && masked[at] == wanted[at])
    at++;
  const std::string got_text = describe_zvb(masked);
  const std::string wanted_text = describe_zvb(wanted);
  std::size_t line = 0;
  for (std::size_t i = 0; i < got_text.size() && i < wanted_text.size(); i++) {
    if (got_text[i] != wanted_text[i])
      break;
    if (got_text[i] == '\n')
      line++;
  }
  return testing::AssertionFailure() << "output differs from byte " << at << " (" << masked.size()
                                     << " bytes, expected " << wanted.size() << ")\nwritten:\n"
                                     << excerpt(got_text, line) << "expected:\n"
                                     << excerpt(wanted_text, line);
}
