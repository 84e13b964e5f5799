// Trees for the data layer's tests: files read into trees, roots built in code, and plain
// views of nodes.
#ifndef ZVBTRACK_TESTS_SUPPORT_TREE_FIXTURE_H_
#define ZVBTRACK_TESTS_SUPPORT_TREE_FIXTURE_H_

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "data/reader.h"
#include "data/tree.h"
#include "support/zvb_builder.h"

// Arrays stay on file in any host-order file read without the length probe.
constexpr int READ_ON_FILE = READ_REPORT | READ_NO_PROBE;

// A file opened and read with read_file's `mode`; freed and closed at the end of the scope.
// Failures end the process as they do in the program.
class ReadTree {
 public:
  explicit ReadTree(const std::string& path, int mode = READ_REPORT) : path_(path) {
    open_input(path_.c_str(), &reader_);
    result_ = read_file(&reader_, &file_, mode);
  }
  ~ReadTree() {
    free_tree(&file_.root);
    close_input(&reader_);
  }
  ReadTree(const ReadTree&) = delete;
  ReadTree& operator=(const ReadTree&) = delete;

  int result() const { return result_; }
  DataFile& file() { return file_; }
  DataNode* root() { return &file_.root; }
  DataReader* reader() { return &reader_; }

 private:
  std::string path_;
  DataReader reader_{};
  DataFile file_{};
  int result_ = -1;
};

// An empty root to grow with add_group and add_array, freed at the end of the scope.
struct BuiltFile {
  BuiltFile() { init_root(&file.root); }
  ~BuiltFile() { free_tree(&file.root); }
  BuiltFile(const BuiltFile&) = delete;
  BuiltFile& operator=(const BuiltFile&) = delete;
  DataNode* root() { return &file.root; }
  DataFile file{};
};

inline std::vector<DataNode*> children_of(const DataNode* node) {
  std::vector<DataNode*> children;
  for (DataNode* child = node->first_child; child != nullptr; child = child->next)
    children.push_back(child);
  return children;
}

// The name as text: the bytes before the NUL, or all 16.
inline std::string name_of(const DataNode* node) {
  return std::string(node->name, name_length(node->name));
}

// The `size` bytes in memory; empty when there are none.
inline Bytes data_of(const DataNode* node) {
  return node->data != nullptr ? Bytes(node->data, node->data + node->size) : Bytes();
}

// The shape of a node's children: names in list order, a group's children in braces, an
// end-of-group marker as '.'; "g{x .} y" is a group holding x, closed, then y.
inline std::string shape_of(const DataNode* node) {
  std::string shape;
  for (const DataNode* child : children_of(node)) {
    shape += shape.empty() ? "" : " ";
    const bool group = (child->type & FLAG_GROUP) != 0;
    shape += !group && (child->type & FLAG_END_GROUP) != 0 ? "." : name_of(child);
    if (group)
      shape += "{" + shape_of(child) + "}";
  }
  return shape;
}

// Bytes of a recognisable pattern for data blocks.
inline Bytes pattern(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; i++)
    bytes[i] = static_cast<unsigned char>((i * seed + 1) % 251);
  return bytes;
}

// A coded error line as the program writes it, and one that names a file.
inline std::string error_line(const std::string& message) {
  return "zvbtrack: Error: " + message + "\n";
}
inline std::string file_error(const std::string& path, const std::string& message) {
  return error_line("\"" + path + "\": " + message);
}

// Caps the address space a little above what the process uses, so that a block taken on the
// word of a hostile size fails as ERR_MEMORY instead of passing unseen. Sanitizer builds
// reserve vast shadow ranges up front and stay unlimited.
inline void limit_address_space() {
#if !defined(__SANITIZE_ADDRESS__)
  unsigned long pages = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%lu", &pages) != 1)
      pages = 0;
    std::fclose(statm);
  }
  const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                       (rlim_t{ 256 } << 20);
  const struct rlimit address_space = { limit, limit };
  if (pages != 0)
    setrlimit(RLIMIT_AS, &address_space);
#endif
}

#endif  // ZVBTRACK_TESTS_SUPPORT_TREE_FIXTURE_H_
