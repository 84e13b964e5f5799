// zvbtrack: turns a ZVB file of one group per loop step into one group per identifier.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/platform.h"
#include "base/report.h"
#include "cli/options.h"
#include "data/reader.h"
#include "data/writer.h"
#include "transpose/compact.h"
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

// One block of `count` 8-byte entries for a request list; the lists live until the end.
static void* take_request_list(std::uint32_t count) {
  void* block = std::malloc(static_cast<std::size_t>(count) * 8);
  if (block == nullptr)
    error_exit("Not enough memory\n");
  return block;
}

[[noreturn]] static void out_of_memory() {
  error_exit("Not enough memory\n");
}

int main(int argc, char** argv) {
  // Before anything is opened, so that nothing opened takes a closed standard stream's place.
  open_standard_descriptors();
  std::set_new_handler(out_of_memory);
  std::memset(&input_file.header, 0, sizeof input_file.header);
  std::memset(input_file.root.name, 0, NAME_SIZE);
  input_file.root.type = 0;
  input_file.root.size = 0;

  if (parse_options(&argc, &argv, option_table) != 0)
    write_stderr("\n");  // an empty line after the warnings
  if (argc < 3)
    opt_short_help++;
  if (opt_long_help != 0)
    print_banner(banner, write_stderr);
  if (opt_long_help != 0 || opt_short_help != 0)
    print_help(option_table, opt_long_help, write_stderr);

  const char* input_name = argv[0];
  DataReader reader;
  open_input(input_name, &reader);
  loop_var_name = argv[1];
  id_array_name = opt_top_group;
  const std::uint32_t array_count = static_cast<std::uint32_t>(argc - 2);
  value_count = array_count;
  if (opt_verbose != 0)
    std::fprintf(stderr, "Reading inputfile: \"%s\"\n", input_name);
  read_file(&reader, &input_file, READ_REPORT);

  // The output is opened, and its errors reported, before any transposition work.
  DataWriter writer;
  open_output(opt_output, opt_append, &writer);

  value_getters = static_cast<ValueGetter*>(take_request_list(value_count + 1));
  value_names = static_cast<const char**>(take_request_list(value_count + 1));
  sample_values = static_cast<double*>(take_request_list(value_count + 1));
  for (std::uint32_t i = 0; i < array_count; i++) {
    value_names[i] = argv[i + 2];
    value_getters[i] = get_array_value;
  }
  value_names[array_count] = loop_var_name;
  value_getters[array_count] = get_loop_value;
  value_count = array_count + 1;

  init_root(&output_file.root);
  if (opt_verbose != 0)
    std::fprintf(stderr, "%s: Calculating...\n", input_name);
  // The common case is laid out as the file's bytes in two walks; the rest builds the tree.
  OutputImage image{};
  const bool laid_out = LAY_OUT_OUTPUT && transpose_compact(&input_file.root, &image, &writer);
  if (!laid_out)
    walk_groups(&input_file.root, transpose_group, 0);
  close_input(&reader);

  if (opt_verbose != 0)
    std::fprintf(stderr, "%s: Writing output\n", input_name);
  init_file_header(&output_file.header, "ZVBTRACK", 1, 0, "", 0, 0);
  if (laid_out)
    write_laid_out(&writer, &output_file.header, image.bytes, image.size);
  else
    write_file(&writer, &output_file);
  free_image(&image);
  if (FREE_TREES_AT_END) {
    free_tree(&output_file.root);
    free_tree(&input_file.root);
  }
  return 0;
}
