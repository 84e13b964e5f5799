// zvbtrack: turns a ZVB file of one group per loop step into one group per identifier.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/files.h"
#include "base/memory.h"
#include "base/platform.h"
#include "base/progress.h"
#include "base/report.h"
#include "cli/options.h"
#include "data/reader.h"
#include "data/writer.h"
#include "transpose/engine.h"
#include "transpose/selection.h"
#include "transpose/store.h"
#include "transpose/walk.h"

// A build that always builds the output tree serves to check the laid-out output against it.
#ifndef LAY_OUT_OUTPUT
#define LAY_OUT_OUTPUT true
#endif

// Builds with a leak checker free both trees before the end, so that anything else left behind
// shows; elsewhere the end of the process gives their memory back at once, without a walk over
// millions of nodes.
#ifndef FREE_TREES_AT_END
#define FREE_TREES_AT_END false
#endif

static DataFile input_file;

[[noreturn]] static void out_of_memory() {
  error_exit("Not enough memory\n");
}

// Temporary files go beside a named output file; for standard output, or a name of one of the
// process's descriptors, to $TMPDIR or /tmp.
static std::string scratch_directory(const char* output_name) {
  if (output_name == nullptr || std::strcmp(output_name, "-") == 0 ||
      named_descriptor(output_name) >= 0)
    return "";
  return directory_of(output_name);
}

int main(int argc, char** argv) {
  // Before anything is opened, so that nothing opened takes a closed standard stream's place.
  open_standard_descriptors();
  std::set_new_handler(out_of_memory);
  std::memset(&input_file.header, 0, sizeof input_file.header);
  std::memset(input_file.root.name, 0, NAME_SIZE);
  input_file.root.type = 0;
  input_file.root.size = 0;

  take_command_line(&argc, &argv);
  // A selection that cannot be read ends the run before any file is opened.
  take_selection(opt_ids, opt_window);
  if (!LAY_OUT_OUTPUT && (opt_ids != nullptr || opt_window != nullptr || opt_dry_run != 0))
    error_exit("-i, -w and -n need the laid-out transposition\n");

  const char* input_name = argv[0];
  const std::uint64_t budget = memory_budget();
  DataReader reader;
  open_input(input_name, &reader);
  loop_var_name = argv[1];
  id_array_name = opt_top_group;
  const std::uint32_t array_count = static_cast<std::uint32_t>(argc - 2);
  if (opt_verbose != 0)
    std::fprintf(stderr, "Reading inputfile: \"%s\"\n", input_name);
  // Long phases show a live line on a terminal; the -v lines themselves stay as they are.
  if (opt_verbose != 0 && is_terminal(2))
    enable_progress();
  start_progress("reading", reader.length > 0 ? static_cast<std::uint64_t>(reader.length) : 0);
  read_file(&reader, &input_file, READ_REPORT);
  end_progress();

  // The output is opened, and its errors reported, before any transposition work; a dry run
  // opens none.
  DataWriter writer;
  if (opt_dry_run == 0)
    open_output(opt_output, opt_append, &writer);

  fill_request(argv + 2, array_count);

  init_root(&output_file.root);
  if (opt_verbose != 0)
    std::fprintf(stderr, "%s: Calculating...\n", input_name);
  // The output is laid out as the file's bytes; the tree build (LAY_OUT_OUTPUT false) is the
  // reference it is tested against.
  const std::string scratch = scratch_directory(opt_append != nullptr ? opt_append : opt_output);
  const LayoutSettings settings{ reader.file_name, budget,
                                 scratch.empty() ? nullptr : scratch.c_str() };
  const bool laid_out = LAY_OUT_OUTPUT && count_output(&input_file.root, settings);
  if (opt_dry_run != 0) {
    warn_if_no_trajectory(output_trajectory_count(), array_count);
    tell_output_size(input_name);
    tell_filling(input_name, budget);
    return 0;
  }
  if (laid_out)
    fill_output(&input_file.root, &writer);
  else
    walk_groups(&input_file.root, transpose_group, 0);
  close_input(&reader);
  warn_if_no_trajectory(laid_out ? output_trajectory_count() : trajectories.size(), array_count);

  if (opt_verbose != 0)
    std::fprintf(stderr, "%s: Writing output\n", input_name);
  init_file_header(&output_file.header, "ZVBTRACK", 1, 0, "", 0, 0);
  if (laid_out)
    write_output(&writer, &output_file.header);
  else
    write_file(&writer, &output_file);
  if (FREE_TREES_AT_END) {
    free_tree(&output_file.root);
    free_tree(&input_file.root);
  }
  return 0;
}
