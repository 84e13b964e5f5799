// zvbdump: shows a ZVB file as an indented tree of its elements, or arrays of it as CSV.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/report.h"
#include "cli/options.h"
#include "data/reader.h"
#include "dump/path.h"
#include "dump/print.h"
#include "dump/table.h"
#include "version.h"

static int show_help = 0;
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
  { 'h', &show_help, set_flag, nullptr, "Print this help on standard output and quit" },
  { 'H', &show_help, set_flag, nullptr, "The same as -h" },
  { 'c', &show_csv, set_flag, nullptr,
    "Print CSV: the arrays of the selection as columns, or its trajectories as one table" },
  { 'f', &show_header_fields, set_flag, nullptr,
    "Print the file header field by field, with offsets and meanings" },
  { 'n', &value_limit_text, set_string, "count",
    "Show count values of each array in the tree (0: all, default 8)" },
  { 'p', &selected_path, set_string, "path",
    "Select an element or a range: /time[3]/x, /ID=17, /ID=10..20" },
  { '\0', nullptr, reject_option, nullptr, "Unknown option -" },
};

// What the table cannot say in a line per option.
static const char HELP_NOTES[] =
    "\n"
    "file is a ZVB file, - for standard input. Without -c the header line and one line per\n"
    "element are printed: offset, type word, kind, value type, bytes, values, name = values.\n"
    "\n"
    "paths: steps from the top level separated by /; a step is name (the first of that name),\n"
    "name[k] (the k-th, from 0), name=value (the first whose own value equals value), or, as\n"
    "the last step, name=low..high (every one whose own number is from low to high); a\n"
    "backslash takes the next character as it is.\n"
    "\n"
    "-c on a trajectory file (as zvbtrack writes it) prints one long table: the identifier,\n"
    "the values of the groups inside each trajectory (such as run), the loop variable (the\n"
    "last array), then the other arrays; one row per sample, numbers in the fewest digits\n"
    "that read back exactly. A group whose arrays come first prints them as columns instead.\n"
    "\n"
    "other options: --help (as -h), --version (print the version and quit).\n";

static int write_stdout(const char* text) {
  return std::fputs(text, stdout);
}

[[noreturn]] static void print_dump_help() {
  std::string text = std::string(program_name) + " - " + dump_options[0].description + "\n";
  std::string flags;
  for (const OptionEntry* row = dump_options + 1; row->letter != '\0'; row++) {
    if (row->arg_name == nullptr)
      flags += row->letter;
  }
  text += "usage: " + std::string(program_name) + " [-" + flags + "]";
  for (const OptionEntry* row = dump_options + 1; row->letter != '\0'; row++) {
    if (row->arg_name != nullptr)
      text += std::string(" [-") + row->letter + " " + row->arg_name + "]";
  }
  text += std::string(" ") + dump_options[0].arg_name + "\n\noptions:\n";
  for (const OptionEntry* row = dump_options + 1; row->letter != '\0'; row++) {
    std::string line = std::string(" -") + row->letter;
    if (row->arg_name != nullptr)
      line += std::string(" ") + row->arg_name;
    line.resize(12, ' ');  // descriptions start in one column
    text += line + row->description + "\n";
  }
  text += HELP_NOTES;
  write_stdout(text.c_str());
  finish_output();
  std::exit(0);
}

[[noreturn]] static void print_version() {
  write_stdout((std::string(program_name) + " " + TOOLS_VERSION + "\n").c_str());
  finish_output();
  std::exit(0);
}

// The words --help and --version among the options; any other word of two dashes ends the
// run. The letter options themselves are left to parse_options.
static void take_long_options(int argc, char** argv) {
  const char* last_slash = std::strrchr(argv[0], '/');
  program_name = last_slash != nullptr ? last_slash + 1 : argv[0];
  for (int i = 1; i < argc; i++) {
    const char* word = argv[i];
    if (word[0] != '-' || word[1] == '\0')
      return;  // the first operand
    if (std::strcmp(word, "--help") == 0)
      print_dump_help();
    if (std::strcmp(word, "--version") == 0)
      print_version();
    if (word[1] == '-')
      error_exit("Unknown option %s (\"%s -h\" lists the options)\n", word, program_name);
    // A letter that takes an argument takes the rest of its word, or the next word.
    for (const char* letter = word + 1; *letter != '\0'; letter++) {
      const OptionEntry* row = dump_options + 1;
      while (row->letter != '\0' && row->letter != *letter)
        row++;
      if (row->letter == '\0' || row->arg_name == nullptr)
        continue;
      if (letter[1] == '\0')
        i++;
      break;
    }
  }
}

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

[[noreturn]] static void out_of_memory() {
  error_exit("Not enough memory\n");
}

int main(int argc, char** argv) {
  if (argc < 1)
    return 1;
  std::set_new_handler(out_of_memory);
  take_long_options(argc, argv);
  const char* last_word = argv[argc - 1];
  // Unknown letters end the run in reject_option, so a failed parse is a missing argument.
  if (parse_options(&argc, &argv, dump_options) != 0)
    error_exit("Option -%c needs an argument\n", last_word[std::strlen(last_word) - 1]);
  if (show_help != 0)
    print_dump_help();
  if (argc < 1)
    print_help(dump_options, 0, write_stderr);  // the usage line, as zvbtrack gives it
  if (argc > 1)
    error_exit("One file at a time: \"%s\" is one too many\n", argv[1]);
  const std::uint64_t value_limit = parse_value_limit(value_limit_text);
  const char* path = selected_path != nullptr ? selected_path : "/";
  const std::vector<PathStep> steps = parse_path(path);

  if (show_csv != 0) {
    // Read element by element: a file of any size takes the memory of one selection.
    print_csv(argv[0], steps, path);
    finish_output();
    return 0;
  }
  // A named regular file is read element by element, twice: memory stays that of its largest
  // element however many it holds.
  struct stat status;
  if (std::strcmp(argv[0], "-") != 0 && stat(argv[0], &status) == 0 && S_ISREG(status.st_mode)) {
    print_file_tree(argv[0], steps, value_limit, show_header_fields != 0);
    finish_output();
    return 0;
  }
  DataReader reader;
  open_input(argv[0], &reader);
  // Anything else is read whole into a tree: it can be read only once.
  read_file(&reader, &input_file, READ_REPORT);
  const std::vector<DataNode*> selected = select_nodes(&input_file.root, steps, reader.file_name);
  if (show_header_fields != 0)
    print_header_fields(input_file.header);
  else
    print_header_line(reader.file_name, input_file.header);
  print_tree(&input_file.root, selected, value_limit);
  finish_output();
  close_input(&reader);
  free_tree(&input_file.root);
  return 0;
}
