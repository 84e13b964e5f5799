// zvbtrack-mpi: zvbtrack's transposition shared among the ranks of an MPI job, writing the
// same file, each rank its share: in a mapping of the file, or through MPI-IO.
//
// Every rank opens the input itself, makes sure it sees the same file as rank 0, reads its
// tree and counts and lays out the whole output, so that each knows every position and every
// failure of the input, found in the same order; rank 0 alone prints. The groups are then
// split among the ranks, and the output's bytes too (see share.h). Failures from then on may
// be one rank's alone: that rank's line is shown, the temporary output removed, and the job
// aborted. Run it as `mpirun -q` so that mpirun adds nothing to the one line of a failure.
#include <mpi.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
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
#include "data/reader.h"
#include "mpi/output.h"
#include "mpi/ranks.h"
#include "mpi/same_input.h"
#include "mpi/share.h"
#include "transpose/engine.h"
#include "transpose/layout.h"
#include "transpose/selection.h"
#include "transpose/store.h"
#include "transpose/walk.h"

namespace {

DataFile input_file;

void finish_mpi() {
  int finalized = 0;
  MPI_Finalized(&finalized);
  if (finalized == 0)
    MPI_Finalize();
}

[[noreturn]] void out_of_memory() {
  error_exit("Not enough memory\n");
}

// What this mode cannot do, refused on every rank before any work.
void refuse_unsupported(const char* input_name) {
  if (opt_append != nullptr)
    error_exit("%s cannot append (-a): write a new file with -o outfile\n", program_name);
  if (opt_dry_run == 0 && (opt_output == nullptr || std::strcmp(opt_output, "-") == 0))
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

// Counts this rank's run of the groups and merges every rank's counts, in rank order (the
// walk's order): each rank's trajectories, in the order first met, with their samples.
void count_shared() {
  const auto [first_plan, end_plan] = plans_of(world_rank, world_size);
  std::vector<CountedTrack> own;
  begin_own_work();  // a group that changed under one rank is that rank's failure
  count_plans(first_plan, end_plan, &own);
  MPI_Datatype track_type;
  MPI_Type_contiguous(sizeof(CountedTrack), MPI_BYTE, &track_type);
  MPI_Type_commit(&track_type);
  const auto ranks_count = static_cast<std::size_t>(world_size);
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
  end_own_work();  // every rank has every count: what follows is the same on every rank
  merge_counts(all.data(), all.size());
}

// The ranks' shares begin at pages of the file, counted as rank 0 counts them, and at least at
// multiples of 2 MiB, so that no page of the file is written by two ranks and every rank's
// writes begin where the file's large pages do.
constexpr std::uint64_t LARGE_PAGE = std::uint64_t{ 2 } << 20;

std::uint64_t agreed_alignment() {
  std::int64_t granularity = map_granularity();
  MPI_Bcast(&granularity, 1, MPI_INT64_T, 0, MPI_COMM_WORLD);
  return std::max<std::uint64_t>(granularity > 0 ? static_cast<std::uint64_t>(granularity) : 1,
                                 LARGE_PAGE);
}

// This rank's part of the memory budget: the budget, never more than what the node can give,
// divided among the ranks that share the node.
std::uint64_t rank_budget() {
  std::uint64_t budget = memory_budget();
  const std::uint64_t node_memory = system_memory_limit();
  if (node_memory != 0 && (budget == 0 || budget > node_memory))
    budget = node_memory;
  return budget / ranks_on_node();
}

int run(int argc, char** argv) {
  take_command_line(&argc, &argv);
  take_selection(opt_ids, opt_window);

  const char* input_name = argv[0];
  refuse_unsupported(input_name);
  DataReader reader;
  open_same_input(input_name, &reader);
  loop_var_name = argv[1];
  id_array_name = opt_top_group;
  const auto array_count = static_cast<std::uint32_t>(argc - 2);
  const bool verbose = opt_verbose != 0 && world_rank == 0;
  if (verbose)
    std::fprintf(stderr, "Reading inputfile: \"%s\"\n", input_name);
  read_file(&reader, &input_file, READ_REPORT);
  if (opt_dry_run == 0)
    make_temporary_output(opt_output);

  fill_request(argv + 2, array_count);
  init_root(&output_file.root);

  if (verbose) {
    std::fprintf(stderr, "%s: Calculating...\n", input_name);
    std::fprintf(stderr, "%s: %d %s\n", input_name, world_size, world_size == 1 ? "rank" : "ranks");
  }
  const std::string scratch = opt_output != nullptr ? directory_of(opt_output) : ".";
  const std::uint64_t budget = rank_budget();
  // Memory budget 0: the layout takes no windows; each rank holds its share of the output.
  const LayoutSettings settings{ reader.file_name, 0, scratch.c_str() };
  // Each rank counts its own run of the groups and the counts are merged in rank order, when
  // the groups' plans allow it; else every rank counts the whole input in walk order, and
  // places whose arrays meet a child of a requested name are built as output nodes while
  // counting, alike on every rank.
  if (world_size > 1 && plan_all_groups(&input_file.root, settings))
    count_shared();
  else
    count_output(&input_file.root, settings);
  if (opt_dry_run != 0) {
    if (world_rank == 0) {
      warn_if_no_trajectory(output_trajectory_count(), array_count);
      tell_output_size(input_name);
      std::fprintf(stderr, "%s: %d %s, each holding its share of the output\n", input_name,
                   world_size, world_size == 1 ? "rank" : "ranks");
    }
    return 0;
  }
  lay_out_output(nullptr);  // every place's position, for the shares' values

  const RankShare share = share_of(world_rank, world_size, agreed_alignment());
  ShareBytes share_bytes = take_share_bytes(share, opt_output, budget);
  fill_share(share, share_bytes.bytes, reader.file_name, budget, scratch.c_str());
  wait_for_every_rank();
  end_own_work();  // every rank has left the exchange's last collective call
  close_input(&reader);
  if (world_rank == 0)
    warn_if_no_trajectory(output_trajectory_count(), array_count);

  if (verbose)
    std::fprintf(stderr, "%s: Writing output\n", input_name);
  write_output_file(opt_output, share, &share_bytes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A write beyond a file-size limit fails with EFBIG and is reported like any other.
  std::signal(SIGXFSZ, SIG_IGN);
  MPI_Init(&argc, &argv);
  std::atexit(finish_mpi);
  start_ranks();
  std::set_new_handler(out_of_memory);
  // Buffers that are taken without the new handler report a failure by throwing.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
}
