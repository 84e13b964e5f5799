// zvbdump: shows a ZVB file as an indented tree of its elements, or arrays of it as CSV.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/options.h"
#include "base/report.h"
#include "data/reader.h"
#include "dump/path.h"
#include "dump/print.h"

static int show_short_help = 0;
static int show_long_help = 0;
static int show_csv = 0;
static int show_header_fields = 0;
static const char* value_limit_text = nullptr;
static const char* selected_path = nullptr;

// A letter that no row has ends the run: a dump made with an option misread would mislead.
static void reject_option(const char* message, void* rest_of_word) {
  error_exit("%s%c (\"%s -h\" lists the options)\n", message,
             *static_cast<const char*>(rest_of_word), program_name);
}

static const OptionEntry dump_options[] = {
  { ' ', nullptr, nullptr, "file", "Show a ZVB file as a tree, or its arrays as CSV" },
  { 'h', &show_short_help, set_flag, nullptr, "Give short help and quit" },
  { 'H', &show_long_help, set_flag, nullptr, "Give long help and quit" },
  { 'c', &show_csv, set_flag, nullptr, "Print the arrays of the selection as CSV columns" },
  { 'f', &show_header_fields, set_flag, nullptr, "Print the file header field by field" },
  { 'n', &value_limit_text, set_string, "count",
    "Show count values of each array (0: all, default 8)" },
  { 'p', &selected_path, set_string, "path", "Select an element: /time[3]/x, /ID=17" },
  { '\0', nullptr, reject_option, nullptr, "Unknown option -" },
};

// Process-wide, so that the tree stays reachable when a failure ends the run.
static DataFile input_file;

static std::uint64_t parse_value_limit(const char* text) {
  if (text == nullptr)
    return DEFAULT_VALUE_LIMIT;
  char* end = nullptr;
  errno = 0;
  const unsigned long long limit = std::strtoull(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE)
    error_exit("Invalid count \"%s\" for -n: give a whole number, 0 for all\n", text);
  return limit;
}

int main(int argc, char** argv) {
  const char* last_word = argc > 0 ? argv[argc - 1] : "";
  // Unknown letters end the run in reject_option, so a failed parse is a missing argument.
  if (parse_options(&argc, &argv, dump_options) != 0)
    error_exit("Option -%c needs an argument\n", last_word[std::strlen(last_word) - 1]);
  if (argc < 1)
    show_short_help = 1;
  if (show_long_help != 0 || show_short_help != 0)
    print_help(dump_options, show_long_help, write_stderr);
  if (argc > 1)
    error_exit("One file at a time: \"%s\" is one too many\n", argv[1]);
  const std::uint64_t value_limit = parse_value_limit(value_limit_text);
  const std::vector<PathStep> steps = parse_path(selected_path != nullptr ? selected_path : "");

  DataReader reader;
  open_input(argv[0], &reader);
  // The default probe: a regular file of 16 MiB or more in host order leaves its arrays on
  // file, and the printing loads each one only for its own line or table.
  read_file(&reader, &input_file, READ_REPORT);
  DataNode* selected = select_node(&input_file.root, steps, reader.file_name);
  if (show_csv != 0) {
    print_csv(selected, selected_path != nullptr ? selected_path : "/", reader.file_name);
  } else {
    if (show_header_fields != 0)
      print_header_fields(input_file.header);
    else
      print_header_line(reader.file_name, input_file.header);
    print_tree(&input_file.root, selected, value_limit);
  }
  finish_output();
  close_input(&reader);
  free_tree(&input_file.root);
  return 0;
}
