// zvbtrack-mpi: zvbtrack's transposition shared among the ranks of an MPI job, writing the
// same file, each rank its share: in a mapping of the file, or through MPI-IO.
//
// Every rank reads the input's tree and counts and lays out the whole output, so that each
// knows every position and every failure of the input, found in the same order; rank 0
// alone prints. The groups are then split among the ranks, and the output's bytes too (see
// share.h). Failures from then on may be one rank's alone: that rank's line is shown, the
// temporary output removed, and the job aborted. Run it as `mpirun -q` so that mpirun adds
// nothing to the one line of a failure.
#include <fcntl.h>
#include <mpi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/memory.h"
#include "base/platform.h"
#include "base/report.h"
#include "cli/options.h"
#include "data/format.h"
#include "data/reader.h"
#include "data/writer.h"
#include "mpi/share.h"
#include "transpose/engine.h"
#include "transpose/layout.h"
#include "transpose/store.h"
#include "transpose/walk.h"

namespace {

// Bytes of a share written by one call: a call's count is an int.
constexpr std::uint64_t WRITE_PIECE = std::uint64_t{ 1 } << 30;

int rank = 0;
int ranks = 1;
// Ranks other than 0 write their standard error into a file of their own (removed on any
// exit), and show it only when they fail alone.
int shown_stderr = -1;
int hidden_stderr = -1;
// True while every rank does the same work and meets the same failures at the same point;
// false while each works on its own part.
bool ranks_agree = true;
std::string temp_name;  // the output until it is complete; known to every rank
DataFile input_file;

void finish_mpi() {
  int finalized = 0;
  MPI_Finalized(&finalized);
  if (finalized == 0)
    MPI_Finalize();
}

void hide_stderr() {
  hidden_stderr = open_scratch_file(nullptr);
  shown_stderr = dup(STDERR_FILENO);
  if (hidden_stderr < 0 || shown_stderr < 0 || dup2(hidden_stderr, STDERR_FILENO) < 0)
    std::freopen("/dev/null", "w", stderr);
}

void show_hidden_stderr() {
  if (hidden_stderr < 0 || shown_stderr < 0)
    return;
  char text[4096];
  std::int64_t at = 0;
  ssize_t length;
  while ((length = pread(hidden_stderr, text, sizeof text, at)) > 0) {
    if (write(shown_stderr, text, static_cast<std::size_t>(length)) != length)
      return;
    at += length;
  }
}

// From here on a failure is one rank's: what it printed before is not its message.
void begin_own_work() {
  if (hidden_stderr >= 0 && ftruncate(hidden_stderr, 0) != 0)
    hidden_stderr = -1;
  ranks_agree = false;
}

// Ranks that meet the same failure meet here too; a rank that waits for the others in vain
// failed alone (an input changed under it, memory that ran out on its node).
constexpr auto FAILING_TOGETHER_WAIT = std::chrono::seconds(60);
MPI_Comm failure_communicator = MPI_COMM_NULL;

bool failing_together() {
  MPI_Request request;
  if (MPI_Ibarrier(failure_communicator, &request) != MPI_SUCCESS)
    return false;
  const auto deadline = std::chrono::steady_clock::now() + FAILING_TOGETHER_WAIT;
  for (;;) {
    int done = 0;
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
    if (done != 0)
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    usleep(1000);
  }
}

// Waits for every rank to arrive here without keeping a processor busy: the ranks that finish
// their share first leave theirs to the system's work on the output (and to ranks that share
// it).
void wait_for_every_rank() {
  MPI_Request request;
  MPI_Ibarrier(MPI_COMM_WORLD, &request);
  for (int done = 0;;) {
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
    if (done != 0)
      return;
    usleep(200);
  }
}

void on_failure() {
  if (ranks_agree && failing_together()) {
    if (rank == 0 && !temp_name.empty())
      unlink(temp_name.c_str());
    return;  // every rank ends alike, through MPI_Finalize
  }
  if (!temp_name.empty())
    unlink(temp_name.c_str());
  if (rank != 0)
    show_hidden_stderr();
  MPI_Abort(MPI_COMM_WORLD, 1);
}

[[noreturn]] void out_of_memory() {
  error_exit("Not enough memory\n");
}

// What this mode cannot do, refused on every rank before any work.
void refuse_unsupported(const char* input_name) {
  if (opt_append != nullptr)
    error_exit("%s cannot append (-a): write a new file with -o outfile\n", program_name);
  if (opt_output == nullptr || std::strcmp(opt_output, "-") == 0)
    error_exit("%s writes a named file (-o outfile), not standard output\n", program_name);
  if (std::strcmp(input_name, "-") == 0)
    error_exit("%s reads a named file that every rank can open, not standard input\n",
               program_name);
  struct stat status;
  if (stat(input_name, &status) == 0 &&
      (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode) || S_ISSOCK(status.st_mode)))
    error_exit("\"%s\" is not a regular file: every rank of %s reads the input itself\n",
               input_name, program_name);
}

// A failure found on rank 0 alone (errno value `error`, 0: none), made every rank's.
void agree_on_errno(int error, const char* name) {
  MPI_Bcast(&error, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (error != 0)
    report_error(error_table, ERR_FILE, name, std::strerror(error));
}

// The output goes to a temporary file beside the target, made by rank 0 with the mode the
// target has or would get, and renamed over it once complete.
void make_temporary_output(const char* target) {
  int error = 0;
  if (rank == 0) {
    struct stat status;
    const bool exists = stat(target, &status) == 0;
    if (exists && S_ISDIR(status.st_mode)) {
      error = EISDIR;
    } else if (exists && access(target, W_OK) != 0) {
      error = errno;
    } else {
      temp_name = std::string(target) + ".zvbtrack-XXXXXX";
      const int descriptor = mkstemp(temp_name.data());
      if (descriptor < 0) {
        error = errno;
        temp_name.clear();
      } else {
        const mode_t mask = umask(0);
        umask(mask);
        (void)fchmod(descriptor, exists ? status.st_mode & 07777 : 0666 & ~mask);
        close(descriptor);
      }
    }
  }
  agree_on_errno(error, target);
  int length = static_cast<int>(temp_name.size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  temp_name.resize(static_cast<std::size_t>(length));
  MPI_Bcast(temp_name.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
}

// The worst MPI error any rank met (MPI_SUCCESS: none), ending every rank alike.
void agree_on_mpi_result(int result, const char* name) {
  int error_class = MPI_SUCCESS;
  if (result != MPI_SUCCESS)
    MPI_Error_class(result, &error_class);
  int worst = MPI_SUCCESS;
  MPI_Allreduce(&error_class, &worst, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (worst == MPI_SUCCESS)
    return;
  char text[MPI_MAX_ERROR_STRING];
  int length = 0;
  MPI_Error_string(worst, text, &length);
  text[std::min(length, MPI_MAX_ERROR_STRING - 1)] = '\0';
  report_error(error_table, ERR_FILE, name, text);
}

// This rank's share of the output's bytes: mapped from the temporary file where every rank
// can map it (its blocks allocated ahead, so that storing cannot run out of space), else in
// memory and written through MPI-IO. ZVBTRACK_MPI_IO set to anything but "" asks for MPI-IO
// always, as a parallel file system would rather have it.
struct ShareBytes {
  unsigned char* bytes;  // the share's first byte
  std::uint64_t length;
  bool mapped;             // else the bytes are in memory
  unsigned char* mapping;  // null when the share is empty
  std::size_t mapping_length;
};

// Counts this rank's run of the groups and merges every rank's counts, in rank order (the
// walk's order): each rank's trajectories, in the order first met, with their samples.
void count_shared() {
  const auto [first_plan, end_plan] = plans_of(rank, ranks);
  std::vector<CountedTrack> own;
  begin_own_work();  // a group that changed under one rank is that rank's failure
  count_plans(first_plan, end_plan, &own);
  MPI_Datatype track_type;
  MPI_Type_contiguous(sizeof(CountedTrack), MPI_BYTE, &track_type);
  MPI_Type_commit(&track_type);
  const auto ranks_count = static_cast<std::size_t>(ranks);
  std::vector<int> counts(ranks_count), starts(ranks_count);
  int own_count = static_cast<int>(own.size());
  MPI_Allgather(&own_count, 1, MPI_INT, counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
  std::size_t total = 0;
  for (std::size_t r = 0; r < ranks_count; r++) {
    starts[r] = static_cast<int>(total);
    total += static_cast<std::size_t>(counts[r]);
  }
  std::vector<CountedTrack> all(total);
  MPI_Allgatherv(own.data(), own_count, track_type, all.data(), counts.data(), starts.data(),
                 track_type, MPI_COMM_WORLD);
  MPI_Type_free(&track_type);
  own = std::vector<CountedTrack>();
  ranks_agree = true;  // every rank has every count: what follows is the same on every rank
  merge_counts(all.data(), all.size());
}

// The ranks that share this rank's node, and its memory.
std::uint64_t ranks_on_node() {
  MPI_Comm node;
  if (MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &node) !=
      MPI_SUCCESS)
    return 1;
  int size = 1;
  MPI_Comm_size(node, &size);
  MPI_Comm_free(&node);
  return static_cast<std::uint64_t>(std::max(size, 1));
}

// The ranks' shares begin at pages of the file, counted as rank 0 counts them, and at least at
// multiples of 2 MiB, so that every rank's mapping can take the file's large pages.
constexpr std::uint64_t LARGE_PAGE = std::uint64_t{ 2 } << 20;

std::uint64_t agreed_alignment() {
  std::int64_t granularity = map_granularity();
  MPI_Bcast(&granularity, 1, MPI_INT64_T, 0, MPI_COMM_WORLD);
  return std::max<std::uint64_t>(granularity > 0 ? static_cast<std::uint64_t>(granularity) : 1,
                                 LARGE_PAGE);
}

ShareBytes take_share_bytes(const RankShare& share) {
  ShareBytes share_bytes{ nullptr, share.share_end - share.share_start, false, nullptr, 0 };
  const char* choice = std::getenv("ZVBTRACK_MPI_IO");
  int can_map = choice == nullptr || *choice == '\0' ? 1 : 0;
  if (rank == 0 && can_map != 0) {
    const int descriptor = open(temp_name.c_str(), O_RDWR);
    can_map = descriptor >= 0 &&
              allocate_file_space(
                  descriptor, 0,
                  static_cast<std::int64_t>(sizeof(FileHeader) + laid_out.output_size)) == 0;
    if (descriptor >= 0)
      close(descriptor);
  }
  MPI_Bcast(&can_map, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (can_map != 0) {
    // Rank 0 maps from the file's start: the file header is its to write.
    const std::uint64_t offset = rank == 0 ? 0 : sizeof(FileHeader) + share.share_start;
    const std::uint64_t length = (rank == 0 ? sizeof(FileHeader) : 0) + share_bytes.length;
    unsigned char* mapping = nullptr;
    if (length != 0) {
      const int descriptor = open(temp_name.c_str(), O_RDWR);
      if (descriptor >= 0) {
        mapping = map_file(descriptor, static_cast<std::int64_t>(offset), length);
        close(descriptor);
      }
    }
    const int mapped = length == 0 || mapping != nullptr ? 1 : 0;
    int all_mapped = 0;
    MPI_Allreduce(&mapped, &all_mapped, 1, MPI_INT, MPI_LAND, MPI_COMM_WORLD);
    if (all_mapped != 0) {
      share_bytes.mapped = true;
      share_bytes.mapping = mapping;
      share_bytes.mapping_length = length;
      share_bytes.bytes =
          mapping != nullptr ? mapping + (rank == 0 ? sizeof(FileHeader) : 0) : nullptr;
      return share_bytes;
    }
    unmap_file(mapping, length);
  }
  if (share_bytes.length != 0) {
    share_bytes.bytes = static_cast<unsigned char*>(take_large_block(share_bytes.length));
    if (share_bytes.bytes == nullptr)
      error_exit("Not enough memory\n");
  }
  return share_bytes;
}

// Puts the share in the file (and, on rank 0, the file header), then, once every rank has,
// the file in place of the target.
void write_output_file(const char* target, const RankShare& share, ShareBytes& share_bytes) {
  FileHeader header{};
  init_file_header(&header, "ZVBTRACK", 1, 0, "", 0, 0);
  unsigned char header_bytes[sizeof(FileHeader)];
  encode_file_header(header, header_bytes);

  if (share_bytes.mapped) {
    if (rank == 0)
      std::memcpy(share_bytes.mapping, header_bytes, sizeof header_bytes);
    unmap_file(share_bytes.mapping, share_bytes.mapping_length);
    agree_on_mpi_result(MPI_SUCCESS, target);  // every share is in the file
  } else {
    MPI_File file;
    agree_on_mpi_result(
        MPI_File_open(MPI_COMM_WORLD, temp_name.c_str(), MPI_MODE_WRONLY, MPI_INFO_NULL, &file),
        target);
    // Each rank writes its share, contiguous and apart from the others', on its own:
    // collective writes would move the shares between the ranks once more.
    int result = MPI_SUCCESS;
    if (rank == 0)
      result = MPI_File_write_at(file, 0, header_bytes, sizeof header_bytes, MPI_BYTE,
                                 MPI_STATUS_IGNORE);
    for (std::uint64_t at = 0; at < share_bytes.length && result == MPI_SUCCESS;
         at += WRITE_PIECE) {
      const std::uint64_t piece = std::min(WRITE_PIECE, share_bytes.length - at);
      result = MPI_File_write_at(
          file, static_cast<MPI_Offset>(sizeof(FileHeader) + share.share_start + at),
          share_bytes.bytes + at, static_cast<int>(piece), MPI_BYTE, MPI_STATUS_IGNORE);
    }
    const int close_result = MPI_File_close(&file);
    agree_on_mpi_result(result != MPI_SUCCESS ? result : close_result, target);
    if (share_bytes.bytes != nullptr)
      free_large_block(share_bytes.bytes, share_bytes.length);
  }
  share_bytes = ShareBytes{ nullptr, 0, false, nullptr, 0 };

  int error = 0;
  if (rank == 0 && std::rename(temp_name.c_str(), target) != 0)
    error = errno;
  agree_on_errno(error, target);
  temp_name.clear();
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  MPI_Comm_dup(MPI_COMM_WORLD, &failure_communicator);
  std::atexit(finish_mpi);
  if (rank != 0)
    hide_stderr();
  set_failure_cleanup(on_failure);
  std::set_new_handler(out_of_memory);

  take_command_line(&argc, &argv);

  const char* input_name = argv[0];
  refuse_unsupported(input_name);
  DataReader reader;
  open_input(input_name, &reader);
  loop_var_name = argv[1];
  id_array_name = opt_top_group;
  const auto array_count = static_cast<std::uint32_t>(argc - 2);
  const bool verbose = opt_verbose != 0 && rank == 0;
  if (verbose)
    std::fprintf(stderr, "Reading inputfile: \"%s\"\n", input_name);
  read_file(&reader, &input_file, READ_REPORT);
  make_temporary_output(opt_output);

  fill_request(argv + 2, array_count);
  init_root(&output_file.root);

  if (verbose) {
    std::fprintf(stderr, "%s: Calculating...\n", input_name);
    std::fprintf(stderr, "%s: %d %s\n", input_name, ranks, ranks == 1 ? "rank" : "ranks");
  }
  const std::string scratch = directory_of(opt_output);
  const std::uint64_t node_budget = memory_budget();
  // Memory budget 0: the layout takes no windows; each rank holds its share of the output.
  const LayoutSettings settings{ reader.file_name, 0, scratch.c_str() };
  // Each rank counts its own run of the groups and the counts are merged in rank order, when
  // the groups' plans allow it; else every rank counts the whole input in walk order, and
  // places whose arrays meet a child of a requested name are built as output nodes while
  // counting, alike on every rank.
  if (ranks > 1 && plan_all_groups(&input_file.root, settings))
    count_shared();
  else
    count_output(&input_file.root, settings);
  lay_out_output(nullptr);  // every place's position, for the shares' values

  const RankShare share = share_of(rank, ranks, agreed_alignment());
  ShareBytes share_bytes = take_share_bytes(share);
  begin_own_work();
  fill_share(share, share_bytes.bytes, reader.file_name, node_budget / ranks_on_node(),
             scratch.c_str());
  wait_for_every_rank();
  ranks_agree = true;  // every rank has left the exchange's last collective call
  close_input(&reader);
  if (rank == 0)
    warn_if_no_trajectory(output_trajectory_count(), array_count);

  if (verbose)
    std::fprintf(stderr, "%s: Writing output\n", input_name);
  write_output_file(opt_output, share, share_bytes);
  return 0;
}
