// The values of places whose arrays reach across the edge of a window, kept where they stand in
// the output: a temporary file laid out as the output, holding only those values (the rest of
// it a hole). Each value is written once, however many windows its place meets, and a window
// takes the values that fall inside it from there.
#ifndef ZVBTRACK_TRANSPOSE_SPANNING_H_
#define ZVBTRACK_TRANSPOSE_SPANNING_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class SpanningValues {
 public:
  // Values reach the file through `run_count` runs, each of consecutive bytes, buffered up to
  // `buffer_size` bytes at a time. The file is made in `directory` (null: $TMPDIR or /tmp);
  // failures to make or use it end the run with ERR_FILE naming `directory`.
  SpanningValues(std::size_t run_count, std::size_t buffer_size, const char* directory);
  ~SpanningValues();
  SpanningValues(const SpanningValues&) = delete;
  SpanningValues& operator=(const SpanningValues&) = delete;

  // `size` bytes that stand at `at` in the output, through run `run`: best right after what
  // the run was given last.
  void put(std::size_t run, std::uint64_t at, const void* bytes, std::size_t size);

  // While shared, two threads may put into distinct runs at once; a failure to write the file
  // is then kept for finish_sharing, which reports it.
  void start_sharing() { shared_ = true; }
  void finish_sharing();

  // Everything put so far goes to the file, and the runs' buffers are given back.
  void flush();

  // The output's bytes [at, at + size) as they were put, once flushed.
  void read(std::uint64_t at, void* bytes, std::size_t size);

 private:
  struct Run {
    std::vector<unsigned char> buffer;
    std::uint64_t start = 0;  // where the buffered bytes stand in the output
  };
  void write(const void* bytes, std::size_t size, std::uint64_t at);
  void flush(Run& run);

  std::vector<Run> runs_;
  std::size_t buffer_size_;
  const char* directory_;
  int file_ = -1;
  bool shared_ = false;
  std::atomic<int> failure_{ 0 };
};

#endif  // ZVBTRACK_TRANSPOSE_SPANNING_H_
