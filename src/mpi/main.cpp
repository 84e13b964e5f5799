// zvbtrack-mpi: zvbtrack's transposition shared among the ranks of an MPI job, writing the
// same file through MPI-IO.
//
// Every rank reads the input's tree and counts and lays out the whole output, so that each
// knows every position and every failure of the input, found in the same order; rank 0
// alone prints. The groups are then split among the ranks, and the output's bytes too (see
// share.h). Failures from then on may be one rank's alone: that rank's line is shown, the
// temporary output removed, and the job aborted.
#include <fcntl.h>
#include <mpi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

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

void on_failure() {
  if (!temp_name.empty() && (rank == 0 || !ranks_agree))
    unlink(temp_name.c_str());
  if (ranks_agree)
    return;  // every rank ends alike, through MPI_Finalize
  if (rank != 0)
    show_hidden_stderr();
  MPI_Abort(MPI_COMM_WORLD, 1);
}

[[noreturn]] void out_of_memory() {
  error_exit("Not enough memory\n");
}

void* take_request_list(std::uint32_t count) {
  void* block = std::malloc(static_cast<std::size_t>(count) * 8);
  if (block == nullptr)
    error_exit("Not enough memory\n");
  return block;
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

void write_output_file(const char* target, const RankShare& share, const unsigned char* bytes) {
  FileHeader header{};
  init_file_header(&header, "ZVBTRACK", 1, 0, "", 0, 0);
  unsigned char header_bytes[sizeof(FileHeader)];
  encode_file_header(header, header_bytes);

  MPI_File file;
  agree_on_mpi_result(
      MPI_File_open(MPI_COMM_WORLD, temp_name.c_str(), MPI_MODE_WRONLY, MPI_INFO_NULL, &file),
      target);
  int result = MPI_File_write_at_all(file, 0, header_bytes, rank == 0 ? sizeof header_bytes : 0,
                                     MPI_BYTE, MPI_STATUS_IGNORE);
  // Every rank makes as many collective calls as the largest share needs.
  std::uint64_t largest = 0;
  for (int r = 0; r < ranks; r++)
    largest = std::max(largest, share_start_of(r + 1, ranks) - share_start_of(r, ranks));
  const std::uint64_t length = share.share_end - share.share_start;
  for (std::uint64_t at = 0; at < largest; at += WRITE_PIECE) {
    const std::uint64_t piece = at < length ? std::min(WRITE_PIECE, length - at) : 0;
    const int piece_result = MPI_File_write_at_all(
        file, static_cast<MPI_Offset>(sizeof(FileHeader) + share.share_start + at),
        bytes + (piece != 0 ? at : 0), static_cast<int>(piece), MPI_BYTE, MPI_STATUS_IGNORE);
    if (result == MPI_SUCCESS)
      result = piece_result;
  }
  const int close_result = MPI_File_close(&file);
  agree_on_mpi_result(result != MPI_SUCCESS ? result : close_result, target);

  int error = 0;
  if (rank == 0 && std::rename(temp_name.c_str(), target) != 0)
    error = errno;
  agree_on_errno(error, target);
  temp_name.clear();
}

// Temporary files of the counting go beside the output.
std::string scratch_directory(const char* output_name) {
  const char* slash = std::strrchr(output_name, '/');
  if (slash == nullptr)
    return ".";
  if (slash == output_name)
    return "/";
  return std::string(output_name, static_cast<std::size_t>(slash - output_name));
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  std::atexit(finish_mpi);
  if (rank != 0)
    hide_stderr();
  set_failure_cleanup(on_failure);
  std::set_new_handler(out_of_memory);

  if (parse_options(&argc, &argv, option_table) != 0)
    write_stderr("\n");  // an empty line after the warnings
  if (argc < 3)
    opt_short_help++;
  if (opt_long_help != 0)
    print_banner(banner, write_stderr);
  if (opt_long_help != 0 || opt_short_help != 0)
    print_help(option_table, opt_long_help, write_stderr);

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

  value_getters = static_cast<ValueGetter*>(take_request_list(array_count + 1));
  value_names = static_cast<const char**>(take_request_list(array_count + 1));
  sample_values = static_cast<double*>(take_request_list(array_count + 1));
  for (std::uint32_t i = 0; i < array_count; i++) {
    value_names[i] = argv[i + 2];
    value_getters[i] = get_array_value;
  }
  value_names[array_count] = loop_var_name;
  value_getters[array_count] = get_loop_value;
  value_count = array_count + 1;
  init_root(&output_file.root);

  if (verbose) {
    std::fprintf(stderr, "%s: Calculating...\n", input_name);
    std::fprintf(stderr, "%s: %d %s\n", input_name, ranks, ranks == 1 ? "rank" : "ranks");
  }
  const std::string scratch = scratch_directory(opt_output);
  // Memory budget 0: the layout takes no windows; each rank holds its share of the output.
  const LayoutSettings settings{ reader.file_name, 0, scratch.c_str() };
  if (!count_output(&input_file.root, settings))
    error_exit(
        "%s cannot lay this output out in advance (a request name that is empty, or that a copied enclosing group bears among the arrays): run zvbtrack\n",
        program_name);
  lay_out_output(nullptr);

  const RankShare share = share_of(rank, ranks);
  const std::uint64_t share_length = share.share_end - share.share_start;
  begin_own_work();
  unsigned char* bytes = nullptr;
  if (share_length != 0) {
    bytes = static_cast<unsigned char*>(take_large_block(share_length));
    if (bytes == nullptr)
      error_exit("Not enough memory\n");
  }
  fill_share(share, bytes, reader.file_name);
  ranks_agree = true;  // every rank has left the exchange's last collective call
  close_input(&reader);

  if (verbose)
    std::fprintf(stderr, "%s: Writing output\n", input_name);
  write_output_file(opt_output, share, bytes);
  if (bytes != nullptr)
    free_large_block(bytes, share_length);
  return 0;
}
