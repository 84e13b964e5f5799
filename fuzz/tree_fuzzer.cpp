// Fuzz target: arbitrary bytes read into a tree, walked with lookups, loads and conversions,
// written, read back and written again, then freed. Failures unwind back here instead of
// ending the process, so a partly read tree is freed like a whole one and leaks stay visible.
//
// Input: one control byte, then the file. Control bits 0-2 are read_file's mode (READ_REPORT,
// READ_LOAD_ALL, READ_NO_PROBE: without the probe a host-order file leaves its arrays on file
// however short it is); bit 3 serves the file through a pipe instead of a regular file.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/report.h"
#include "data/reader.h"
#include "data/stream.h"
#include "data/tree.h"
#include "data/writer.h"

namespace {

constexpr unsigned CONTROL_MODE = 7;
constexpr unsigned CONTROL_PIPE = 8;
constexpr std::size_t PIPE_CAPACITY = 1 << 20;

// What the fuzzing sink throws where the program would end.
struct ReportedFailure {};

void throw_failure(const char* format, ...) {
  char message[512];
  va_list values;
  va_start(values, format);
  std::vsnprintf(message, sizeof message, format, values);
  va_end(values);
  throw ReportedFailure{};
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "tree_fuzzer: %s\n", what);
  std::abort();
}

std::string fd_path(int descriptor) {
  return "/proc/self/fd/" + std::to_string(descriptor);
}

// One regular file in memory, rewritten for every input.
int memory_file() {
  static const int descriptor = memfd_create("zvb", 0);
  if (descriptor < 0)
    fail("memfd_create failed");
  return descriptor;
}

void fill_memory_file(const unsigned char* bytes, std::size_t size) {
  const int descriptor = memory_file();
  if (ftruncate(descriptor, 0) != 0 ||
      (size > 0 && pwrite(descriptor, bytes, size, 0) != static_cast<ssize_t>(size)))
    fail("filling the memory file failed");
}

// Opens `bytes` as the reader's input: a regular file, or a pipe holding them whole whose
// writing end is closed once the reader has it open.
void open_bytes(const unsigned char* bytes, std::size_t size, bool through_pipe,
                DataReader* reader) {
  int ends[2];
  if (through_pipe && size <= PIPE_CAPACITY && pipe(ends) == 0) {
    if (fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(PIPE_CAPACITY)) < 0 ||
        (size > 0 && write(ends[1], bytes, size) != static_cast<ssize_t>(size)))
      fail("filling the pipe failed");
    open_input(fd_path(ends[0]).c_str(), reader);
    close(ends[0]);
    close(ends[1]);
    return;
  }
  fill_memory_file(bytes, size);
  open_input(fd_path(memory_file()).c_str(), reader);
}

volatile double value_sum;

// Uses a node's values as the transposition does: converted to doubles, read one by one.
void use_values(DataNode* node) {
  if (convert_to_double(node) != 0)
    return;
  if (node->size != 0 && node->data == nullptr)
    fail("a converted node without data");
  for (std::uint32_t i = 0; i + sizeof(double) <= node->size; i += sizeof(double)) {
    double value;
    std::memcpy(&value, node->data + i, sizeof value);
    value_sum = value_sum + value;
  }
}

// Looks up the names a run asks for and the name of every child, from the group outward.
int visit_group(DataNode* group, std::uint32_t) {
  static const char* const requested[] = { "ID", "time", "x", "y" };
  for (const char* name : requested) {
    if (DataNode* found = find_in_scope(name, group))
      use_values(found);
  }
  for (DataNode* child = group->first_child; child != nullptr; child = child->next) {
    char name[NAME_SIZE + 1] = {};
    std::memcpy(name, child->name, name_length(child->name));
    if (DataNode* found = find_in_scope(name, group))
      use_values(found);
  }
  if (group->parent != nullptr && find_equal_child(group->parent, group) == nullptr)
    fail("a group is not found among its own siblings");
  return 0;
}

// Writes the tree into memory; the bytes are left in `written`.
void write_to_memory(DataFile* file, std::string* written) {
  char* buffer = nullptr;
  std::size_t length = 0;
  DataWriter writer{};
  writer.stream = open_memstream(&buffer, &length);
  if (writer.stream == nullptr)
    fail("open_memstream failed");
  writer.file_name = "memory";
  writer.append_start = -1;
  writer.guard_descriptor = -1;
  try {
    write_file(&writer, file);  // flushes and closes the stream
  } catch (const ReportedFailure&) {
    if (writer.stream != nullptr)
      std::fclose(writer.stream);
    std::free(buffer);
    throw;
  }
  written->assign(buffer, length);
  std::free(buffer);
  // The creation time is the clock's.
  if (written->size() >= 8)
    written->replace(4, 4, 4, '\0');
}

// What the writer made reads back into a tree that writes out as the same bytes.
void check_round_trip(const std::string& written) {
  DataReader reader{};
  DataFile file{};
  std::string again;
  try {
    open_bytes(reinterpret_cast<const unsigned char*>(written.data()), written.size(), false,
               &reader);
    read_file(&reader, &file, READ_REPORT | READ_LOAD_ALL);
    write_to_memory(&file, &again);
  } catch (const ReportedFailure&) {
    fail("the written file does not read back");
  }
  free_tree(&file.root);
  close_input(&reader);
  if (again != written)
    fail("the written file reads back into a different tree");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  program_name = "tree_fuzzer";
  default_sink.on_error = throw_failure;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const unsigned control = data[0];
  DataReader reader{};
  DataFile file{};
  std::string written;
  bool complete = false;
  try {
    open_bytes(data + 1, size - 1, (control & CONTROL_PIPE) != 0, &reader);
    if (read_file(&reader, &file, static_cast<int>(control & CONTROL_MODE)) == 0) {
      walk_groups(&file.root, visit_group, 0);
      write_to_memory(&file, &written);
      complete = true;
    }
  } catch (const ReportedFailure&) {
  }
  free_tree(&file.root);
  close_input(&reader);
  if (complete)
    check_round_trip(written);
  return 0;
}
